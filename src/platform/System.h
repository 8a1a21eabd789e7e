// System: the operating-system services the components need beyond Qt's basics: content types by file
// extension, the temporary directory, the running executable, starting a detached process, the user's
// proxy setting, the entries of a directory by their bytes, memory for large buffers, and lines read from
// the console (a password without echo).
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace KvInet {

/// The MIME content type registered for a file extension (with its dot, ".html"), or "" when the system
/// knows none.
QString ContentTypeForExtension(const QString& Extension);

/// The directory for temporary files, with a trailing delimiter.
QString TempPath();

/// The full path of the running program's executable (the host application, not this library).
QString ExeName();

/// Starts Program with Args, detached from this process (its own session, no window, lowest priority, no
/// handles inherited but the ones below, standard output and error discarded). With WaitInput set, the new
/// process's standard input is a pipe whose other end stays open in this process until this process ends,
/// so the child sees end-of-file exactly when we are gone. Returns false when the process could not start.
bool StartDetachedProcess(const QString& Program, const QStringList& Args, bool WaitInput);

/// Reads the user's proxy setting: the proxy text when a proxy is enabled ("host:port", "host", or a
/// per-protocol list "ftp=f:21;http=h:3128"), empty when none is.
using TSystemProxyReader = std::function<QString()>;

/// The user's proxy setting through the installed reader (SetSystemProxyReader), by default the system's:
/// on Windows the current user's Internet settings (ProxyServer when ProxyEnable is set), elsewhere
/// ProxyFromEnvironment.
QString SystemProxySetting();

/// Installs Reader as the source of SystemProxySetting for the whole process and returns the one it
/// replaces; an empty Reader puts the system's back. For programs that take the proxy from somewhere else
/// (a command line) and for tests.
TSystemProxyReader SetSystemProxyReader(TSystemProxyReader Reader);

/// The environment's proxy URL reduced to "host:port" (or "host"): the first set of http_proxy, HTTP_PROXY,
/// all_proxy, ALL_PROXY with its scheme, credentials and path dropped; empty when none is set.
QString ProxyFromEnvironment();

/// One entry of a directory as the file system holds it.
struct TDirEntry {
    QByteArray Name;          ///< the name's bytes, which need not be UTF-8
    bool IsDirectory = false; ///< a directory itself, not a link to one
    bool IsSymLink = false;
    bool LeadsToDirectory = false; ///< a directory or a link to one
};

/// The entries of the directory Path (its bytes, as the file system takes them), "." and ".." first, then
/// the directories (and links to them), then the other entries, each group by the names' bytes. Every name is
/// there, whatever its bytes. False (Error holds the system's reason) when the directory can't be opened or
/// read; Missing is then set when there is no such directory.
bool ReadDirectory(const QByteArray& Path, std::vector<TDirEntry>& Entries, QString& Error, bool& Missing);

/// True when Bytes are valid UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
bool IsUtf8(const QByteArray& Bytes);

/// Whether C moves or reorders text on screen without being seen: the line and paragraph separators
/// (U+2028, U+2029) and the bidirectional marks, embeddings, overrides and isolates (U+061C, U+200E,
/// U+200F, U+202A to U+202E, U+2066 to U+2069; a right-to-left override shows "exe.txt" for "txt.exe").
constexpr bool IsLayoutControl(char16_t C) {
    return C == 0x061C || C == 0x200E || C == 0x200F || (C >= 0x2028 && C <= 0x202E) ||
           (C >= 0x2066 && C <= 0x2069);
}

/// Text as one line: backslash, CR, LF and tab written as \\, \r, \n, \t, the other control characters
/// (C0, DEL, C1) as \xhh (two lower-case hex digits), and the layout controls (IsLayoutControl) as \uhhhh,
/// so that nothing in it can start a line of its own, drive a terminal or reorder what it shows.
QString EscapeText(QStringView Text);

/// Bytes as one line of text: UTF-8 decoded and escaped as EscapeText does, with every byte that is not
/// part of valid UTF-8 as \xhh. Such a line shows a name; it names no file.
QString EscapeBytes(const QByteArray& Bytes);

/// Large blocks of memory. On Linux: a block's pages made present in one call rather than a fault for every
/// page first written, large pages (transparent huge pages) behind a block, and blocks mapped straight from
/// the system on a large-page boundary. All of it is advice: elsewhere, or where the system refuses, the
/// pages come as they are first written, and MapLargeBlock gives null (use the heap then).
constexpr size_t LargePageSize = size_t(2) << 20;
/// Makes the whole pages of [Data, Data + Size) present and writable.
void PrepareForWriting(void* Data, size_t Size);
/// Asks for large pages behind the whole pages of [Data, Data + Size).
void AdviseLargePages(void* Data, size_t Size);
/// A block of at least Size bytes (Size grows to the whole large pages mapped) on a large-page boundary,
/// with large pages advised; it goes back to the system with UnmapLargeBlock. Null where blocks are not
/// mapped this way; raises std::bad_alloc when the system has no room.
void* MapLargeBlock(size_t& Size);
void UnmapLargeBlock(void* Block, size_t Size);

/// Memory for a large buffer that grows as data arrives (a reply read into one string), asked of the system
/// a few MiB at a time ahead of the writes, in one call each, rather than a page fault for every page
/// written. Never more than Window bytes beyond what the buffer holds, so that an announced size a peer
/// never sends costs nothing. Where the system cannot do it, nothing happens (the pages come by faults).
class TWriteAhead {
public:
    static constexpr size_t Window = size_t(4) << 20;
    /// Before writing at Base + Used: prepares up to Window bytes from there, within Capacity.
    void Before(const void* Base, size_t Used, size_t Capacity);

private:
    const void* FBase = nullptr;
    size_t FReady = 0; // bytes from FBase on that are prepared (or were written)
};

/// Whether standard input is a terminal, where a person can answer a prompt.
bool ConsoleIsTerminal();

/// Reads one line from standard input into Line, without its LF (or CR LF). With Echo off, a terminal does
/// not show what is typed (what was typed ahead stays to be read), and a line break goes to standard error
/// once the line is in. Returns false when the input ended before a whole line (Line then holds what came).
bool ReadConsoleLine(std::string& Line, bool Echo);

} // namespace KvInet
