// kvinet translate, detect, languages, speak: the translation service's client, one command per method.
#include "Cli.h"
#include "WebOptions.h"

#include "platform/Classes.h"
#include "services/KvIMSTranslator.h"

namespace KvCli {

namespace {

const char* const hostHelp =
    "--host takes the service's base address (default http://api.microsofttranslator.com/v2/Http.svc),\n"
    "for example http://127.0.0.1:8080/v2/Http.svc. Texts are printed as UTF-8, backslash, CR, LF and tab\n"
    "written as \\\\, \\r, \\n, \\t and other control characters as \\xHH. Exit 1, with the reason on\n"
    "stderr and nothing on stdout, when no complete answer with a 2xx status came.";

/// Parses the arguments and sets up the translator the same way for every command.
void Prepare(const Args& A, KvInet::TKvMSTranslator& Translator) {
    if (A.Has(QStringLiteral("host")))
        Translator.SetHost(A.Value(QStringLiteral("host")));
    ApplyWebOptions(A, Translator);
    if (A.Has(QStringLiteral("proxy")))
        Translator.Proxy()->FillProxyInfo(); // the requests read the proxy as it stands
}

int Finish(const KvInet::TKvMSTranslator& Translator, const char* Command) {
    if (Translator.LastError().isEmpty())
        return ExitOk;
    WriteError(QStringLiteral("kvinet %1: %2").arg(QString::fromLatin1(Command), Translator.LastError()));
    return ExitFailed;
}

QString Usage(const char* Text) {
    return QString::fromLatin1(Text) + u'\n' + QString::fromLatin1(hostHelp);
}

int RunTranslate(const Invocation& Call) {
    Args args(Call, QStringLiteral("TEXT --from LANGUAGE --to LANGUAGE"),
              Usage("Prints TEXT translated from one language to another (language codes such as en, de)."));
    args.Option(QStringLiteral("from"), QStringLiteral("LANGUAGE"), QStringLiteral("the language of TEXT"));
    args.Option(QStringLiteral("to"), QStringLiteral("LANGUAGE"), QStringLiteral("the language wanted"));
    if (!args.Parse(Call.Arguments, 1, 1))
        return ExitOk;
    if (!args.Has(QStringLiteral("from")) || !args.Has(QStringLiteral("to")))
        throw UsageError(QStringLiteral("--from and --to are required"));
    KvInet::TKvMSTranslator translator;
    Prepare(args, translator);
    const QString text = translator.TranslateText(args.Positional()[0], args.Value(QStringLiteral("from")),
                                                  args.Value(QStringLiteral("to")));
    if (translator.LastError().isEmpty())
        WriteText(EscapeLine(text));
    return Finish(translator, "translate");
}

int RunDetect(const Invocation& Call) {
    Args args(Call, QStringLiteral("TEXT"), Usage("Prints the code of the language TEXT is written in."));
    if (!args.Parse(Call.Arguments, 1, 1))
        return ExitOk;
    KvInet::TKvMSTranslator translator;
    Prepare(args, translator);
    const QString code = translator.DetectLanguage(args.Positional()[0]);
    if (translator.LastError().isEmpty())
        WriteText(EscapeLine(code));
    return Finish(translator, "detect");
}

int RunLanguages(const Invocation& Call) {
    Args args(Call, QStringLiteral("[--speak]"),
              Usage("Prints the codes of the languages the service translates (with --speak: speaks),\n"
                    "one per line."));
    args.Flag(QStringLiteral("speak"), QStringLiteral("the languages the service speaks"));
    if (!args.Parse(Call.Arguments, 0, 0))
        return ExitOk;
    KvInet::TKvMSTranslator translator;
    Prepare(args, translator);
    KvInet::TStringList list;
    if (args.Has(QStringLiteral("speak")))
        translator.GetLanguagesForSpeak(&list);
    else
        translator.GetLanguagesForTranslate(&list);
    for (int i = 0; i < list.Count(); ++i)
        WriteText(EscapeLine(list.Strings(i)));
    return Finish(translator, "languages");
}

int RunSpeak(const Invocation& Call) {
    Args args(Call, QStringLiteral("TEXT --language LANGUAGE --out FILE"),
              Usage("Saves TEXT spoken in LANGUAGE as FILE (the service's audio as it comes). FILE is\n"
                    "replaced only by a complete answer; after a failure an existing FILE is unchanged."));
    args.Option(QStringLiteral("language"), QStringLiteral("LANGUAGE"),
                QStringLiteral("the language of TEXT"));
    args.Option(QStringLiteral("out"), QStringLiteral("FILE"), QStringLiteral("where the audio goes"));
    if (!args.Parse(Call.Arguments, 1, 1))
        return ExitOk;
    if (!args.Has(QStringLiteral("language")) || !args.Has(QStringLiteral("out")))
        throw UsageError(QStringLiteral("--language and --out are required"));
    KvInet::TKvMSTranslator translator;
    Prepare(args, translator);
    try {
        translator.SpeakText(args.Value(QStringLiteral("language")), args.Value(QStringLiteral("out")),
                             args.Positional()[0]);
    } catch (const KvInet::Exception& e) {
        WriteError(QStringLiteral("kvinet speak: %1").arg(e.Message()));
        return ExitFailed;
    }
    return Finish(translator, "speak");
}

// The answers are read over the component's own sessions: no server credentials and no port of their own
// (the address holds it). Speech goes to a file, which --max-size does not bound.
constexpr TCommonOptions TranslatorOptions = coHost | (WebCommonOptions & ~coCredentials);

const Command regTranslate{"translate", "translate a text (translator client)", RunTranslate,
                           TranslatorOptions, cgXml};
const Command regDetect{"detect", "detect the language of a text (translator client)", RunDetect,
                        TranslatorOptions, cgXml};
const Command regLanguages{"languages", "list the translator's languages (translator client)", RunLanguages,
                           TranslatorOptions, cgXml};
const Command regSpeak{"speak", "save a text spoken as audio (translator client)", RunSpeak,
                       TranslatorOptions & ~coMaxSize, cgXml};

} // namespace

} // namespace KvCli
