// Runs a fuzz target's entry point once on every file of the given files and directories, so the normal
// build replays the corpus without libFuzzer.
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdint>
#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size);

namespace {
int RunFile(const QString& Path) {
    QFile file(Path);
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(Path));
        return 1;
    }
    const QByteArray data = file.readAll();
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(data.constData()), size_t(data.size()));
    return 0;
}
} // namespace

int main(int argc, char** argv) {
    int failures = 0;
    int count = 0;
    for (int i = 1; i < argc; ++i) {
        const QString path = QString::fromLocal8Bit(argv[i]);
        if (QFileInfo(path).isDir()) {
            const QFileInfoList files = QDir(path).entryInfoList(QDir::Files, QDir::Name);
            for (const QFileInfo& f : files) {
                failures += RunFile(f.filePath());
                ++count;
            }
        } else {
            failures += RunFile(path);
            ++count;
        }
    }
    std::printf("%d inputs replayed\n", count);
    return failures == 0 && count > 0 ? 0 : 1;
}
