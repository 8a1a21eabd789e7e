// SysUtils: the exception classes, string, number, date-time and file-name routines that the components
// are written against. Strings are QString (UTF-16); positions in our own routines count from 0 unless a
// routine says otherwise.
#pragma once

#include <QDateTime>
#include <QString>

#include <cstdint>
#include <exception>
#include <initializer_list>
#include <variant>

#if defined(_WIN32)
#if defined(KVINET_BUILDING)
#define KVINET_EXPORT __declspec(dllexport)
#else
#define KVINET_EXPORT __declspec(dllimport)
#endif
#else
#define KVINET_EXPORT __attribute__((visibility("default")))
#endif

namespace KvInet {

/// The general exception class: every exception the library raises derives from it.
class Exception : public std::exception {
public:
    explicit Exception(QString Msg);
    /// The message as the library wrote it.
    const QString& Message() const noexcept { return FMessage; }
    /// The message in UTF-8, for code that only knows std::exception.
    const char* what() const noexcept override { return FUtf8.constData(); }

private:
    QString FMessage;
    QByteArray FUtf8;
};

/// A value that cannot be converted: bad numbers, impossible dates, refused assignments.
class EConvertError : public Exception {
public:
    using Exception::Exception;
};

/// A stream or file operation failed.
class EStreamError : public Exception {
public:
    using Exception::Exception;
};

/// A file could not be opened: "Cannot open file "NAME". REASON".
class EFOpenError : public EStreamError {
public:
    using EStreamError::EStreamError;
};

/// A file could not be created: "Cannot create file "NAME". REASON".
class EFCreateError : public EStreamError {
public:
    using EStreamError::EStreamError;
};

/// Reading or writing a stream failed part-way.
class EReadError : public EStreamError {
public:
    using EStreamError::EStreamError;
};
class EWriteError : public EStreamError {
public:
    using EStreamError::EStreamError;
};

/// Misuse of a component: a duplicate name, an index out of range.
class EComponentError : public Exception {
public:
    using Exception::Exception;
};
class EListError : public Exception {
public:
    using Exception::Exception;
};

// ---- strings ---------------------------------------------------------------------------------------------

/// Removes leading and trailing characters with codes up to U+0020 (spaces and control characters).
QString Trim(const QString& S);
QString TrimLeft(const QString& S);
QString TrimRight(const QString& S);

/// Converts ASCII letters only; every other character is left as it is.
QString UpperCase(const QString& S);
QString LowerCase(const QString& S);

/// Compares two texts ignoring the case of ASCII letters.
bool SameText(const QString& A, const QString& B);
int CompareText(const QString& A, const QString& B);

/// Parses an integer: optional blanks, optional sign, then decimal digits or "$"/"0x" and hex digits.
/// Raises EConvertError "'S' is not a valid integer value" on anything else or on overflow.
int StrToInt(const QString& S);
int64_t StrToInt64(const QString& S);
/// As StrToInt, but returns Default instead of raising.
int StrToIntDef(const QString& S, int Default);
int64_t StrToInt64Def(const QString& S, int64_t Default);
/// Non-raising parse; returns false when S is not a valid integer.
bool TryStrToInt(const QString& S, int& Value);
bool TryStrToInt64(const QString& S, int64_t& Value);

QString IntToStr(int64_t Value);

/// One argument of Format: an integer or a text.
using TVarRec = std::variant<int64_t, QString>;

/// Formats a text with the directives %d (integer), %s (text), %x (hex integer) and %% (a percent sign).
/// A directive may carry an index ("%0:s"), a width and "-" for left alignment, and for %d a precision
/// (minimum digits). Raises EConvertError "Format 'F' invalid or incompatible with argument" on a
/// mismatch or a missing argument.
QString Format(const QString& Fmt, std::initializer_list<TVarRec> Args);

// ---- date and time ---------------------------------------------------------------------------------------

/// Days since 30 December 1899, time of day as the fraction. Negative values count backwards by whole
/// days; their fraction still counts forwards from midnight.
using TDateTime = double;

constexpr int HoursPerDay = 24;
constexpr int MinsPerDay = HoursPerDay * 60;
constexpr int SecsPerDay = MinsPerDay * 60;
constexpr int MSecsPerDay = SecsPerDay * 1000;
/// Days between 1 January 0001 and 30 December 1899.
constexpr int DateDelta = 693594;
/// Days between 30 December 1899 and 1 January 1970.
constexpr int UnixDateDelta = 25569;

bool IsLeapYear(int Year);
int DaysInMonth(int Year, int Month);

/// Raises EConvertError "Invalid argument to date encode" for an impossible date (years 1 to 9999).
TDateTime EncodeDate(int Year, int Month, int Day);
/// Raises EConvertError "Invalid argument to time encode" for an impossible time.
TDateTime EncodeTime(int Hour, int Min, int Sec, int MSec);
bool TryEncodeDate(int Year, int Month, int Day, TDateTime& Date);
bool TryEncodeTime(int Hour, int Min, int Sec, int MSec, TDateTime& Time);
void DecodeDate(TDateTime Date, int& Year, int& Month, int& Day);
void DecodeTime(TDateTime Time, int& Hour, int& Min, int& Sec, int& MSec);
/// 1 = Sunday ... 7 = Saturday.
int DayOfWeek(TDateTime Date);
/// The current local date and time.
TDateTime Now();

/// Local-time conversions (a TDateTime is local time unless a routine says otherwise).
QDateTime DateTimeToQDateTime(TDateTime Value);
TDateTime QDateTimeToDateTime(const QDateTime& Value);
/// The same for a TDateTime that holds UTC.
QDateTime UTCDateTimeToQDateTime(TDateTime Value);
TDateTime QDateTimeToUTCDateTime(const QDateTime& Value);

/// A file's modification time as a local TDateTime; false when the file does not exist.
bool FileAge(const QString& FileName, TDateTime& FileDateTime);
/// Stamps a file's modification time with a local TDateTime; false on failure.
bool FileSetDate(const QString& FileName, TDateTime Value);

// ---- file names ------------------------------------------------------------------------------------------

/// The extension of the name part, with its dot ("" when there is none).
QString ExtractFileExt(const QString& FileName);
/// Replaces (or appends) the extension of the name part; Extension carries its dot.
QString ChangeFileExt(const QString& FileName, const QString& Extension);
/// The name part after the last path delimiter.
QString ExtractFileName(const QString& FileName);
/// The directory part including its trailing delimiter.
QString ExtractFilePath(const QString& FileName);
/// True when a regular file (not a directory) of that name exists.
bool FileExists(const QString& FileName);
bool DirectoryExists(const QString& Name);
/// Adds a trailing path delimiter when there is none.
QString IncludeTrailingPathDelimiter(const QString& S);

} // namespace KvInet
