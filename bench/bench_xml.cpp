// XML parsing speed and memory: our engine against pugixml and libxml2 on the same document.
//   bench_xml generate FILE MEGABYTES   writes an RSS-like document (attributes, entities, nesting, UTF-8)
//   bench_xml parse ENGINE FILE [RUNS]  loads FILE into a tree with ENGINE (kvinet, pugixml or libxml2) RUNS
//                                       times and prints the best time, MB/s and the tree's node count
// One engine per process, so that the process's peak memory (bench_xml.sh measures it) is that engine's.
#include "xml/KvInetXML.h"

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <pugixml.hpp>

#include <QCoreApplication>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace {

int Generate(const char* Path, long Megabytes) {
    std::ofstream out(Path, std::ios::binary);
    const long target = Megabytes * 1000000L;
    std::string chunk;
    out << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
           "<rss version=\"2.0\" xmlns:dc=\"http://purl.org/dc/elements/1.1/\">\n<channel>\n"
           "<title>Generated feed &amp; more</title>\n<link>http://example.com/</link>\n";
    long written = 0;
    for (long n = 0; written < target; ++n) {
        chunk.clear();
        const std::string id = std::to_string(n);
        chunk += "<item id=\"" + id + "\" lang=\"en\">\n";
        chunk += "  <title>Item " + id + ": fish &amp; chips &lt;today&gt;</title>\n";
        chunk += "  <link>http://example.com/items/" + id + "?ref=feed&amp;page=" + std::to_string(n % 7) +
                 "</link>\n";
        chunk += "  <description>Item " + id +
                 " tells of &quot;quoted&quot; things, of 3 &lt; 4 and of the weather, with a few more words "
                 "to make a paragraph of ordinary length";
        if (n % 10 == 0)
            chunk += " at the caf\xC3\xA9 by the sea \xE2\x80\x94 na\xC3\xAFve";
        chunk += ".</description>\n";
        chunk += "  <category domain=\"http://example.com/categories\">Category " + std::to_string(n % 10) +
                 "</category>\n";
        chunk += "  <dc:creator>Author " + std::to_string(n % 100) + "</dc:creator>\n";
        chunk += "  <pubDate>Mon, 06 May 2014 07:08:09 GMT</pubDate>\n";
        chunk += "  <enclosure url=\"http://example.com/media/" + id +
                 ".mp3\" length=\"123456\" type=\"audio/mpeg\"/>\n";
        chunk += "  <comments><comment n=\"1\">Nice one</comment><comment n=\"2\">&#39;ok&#39;</comment>"
                 "</comments>\n";
        chunk += "</item>\n";
        out << chunk;
        written += long(chunk.size());
    }
    out << "</channel>\n</rss>\n";
    return out ? 0 : 1;
}

long CountKvinet(const KvInet::TKvXMLItem* Item) {
    long count = 0;
    std::vector<const KvInet::TKvXMLItem*> work{Item};
    while (!work.empty()) {
        const KvInet::TKvXMLItem* item = work.back();
        work.pop_back();
        ++count;
        for (const KvInet::TKvXMLItem* child : item->Items())
            work.push_back(child);
    }
    return count;
}

long CountPugi(const pugi::xml_node& Node) {
    long count = 0;
    std::vector<pugi::xml_node> work{Node};
    while (!work.empty()) {
        const pugi::xml_node node = work.back();
        work.pop_back();
        ++count;
        for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling())
            work.push_back(child);
    }
    return count;
}

long CountLibxml(xmlNode* Node) {
    long count = 0;
    std::vector<xmlNode*> work{Node};
    while (!work.empty()) {
        xmlNode* node = work.back();
        work.pop_back();
        ++count;
        for (xmlNode* child = node->children; child; child = child->next)
            work.push_back(child);
    }
    return count;
}

/// A digest of the elements in document order: each one's name and, for an element without child
/// elements, its text with the entity references decoded. Two engines that read the document alike give
/// the same digest.
struct TTreeDigest {
    uint64_t Hash = 1469598103934665603ull;
    long Elements = 0;
    void Add(const std::string& Name, const std::string& Text) {
        for (const std::string* part : {&Name, &Text}) {
            for (const unsigned char c : *part)
                Hash = (Hash ^ c) * 1099511628211ull;
            Hash = (Hash ^ 0xFF) * 1099511628211ull;
        }
        ++Elements;
    }
};

TTreeDigest DigestKvinet(const KvInet::TKvXMLItem* Root) {
    TTreeDigest digest;
    std::vector<const KvInet::TKvXMLItem*> work{Root};
    while (!work.empty()) {
        const KvInet::TKvXMLItem* item = work.back();
        work.pop_back();
        if (item->Kind() != KvInet::ikProperty)
            continue;
        bool leaf = true;
        for (const KvInet::TKvXMLItem* child : item->Items())
            leaf = leaf && child->Kind() != KvInet::ikProperty;
        // The XML declaration is the root here, with the document element below it; not an element.
        if (!item->TagName().startsWith(u'?'))
            digest.Add(item->TagName().toStdString(),
                       leaf ? item->GetTagValue().toStdString() : std::string());
        for (auto it = item->Items().end(); it != item->Items().begin();)
            work.push_back(*--it);
    }
    return digest;
}

TTreeDigest DigestPugi(const pugi::xml_node& Root) {
    TTreeDigest digest;
    std::vector<pugi::xml_node> work{Root};
    while (!work.empty()) {
        const pugi::xml_node node = work.back();
        work.pop_back();
        if (node.type() != pugi::node_element)
            continue;
        bool leaf = true;
        for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling())
            leaf = leaf && child.type() != pugi::node_element;
        digest.Add(node.name(), leaf ? node.child_value() : "");
        std::vector<pugi::xml_node> children;
        for (pugi::xml_node child = node.first_child(); child; child = child.next_sibling())
            children.push_back(child);
        work.insert(work.end(), children.rbegin(), children.rend());
    }
    return digest;
}

/// Runs Load Runs times; Load builds the tree, returns its node count and frees it outside the timing.
int Measure(const char* Engine, const char* Path, int Runs, const std::function<long(double&)>& Load) {
    std::FILE* f = std::fopen(Path, "rb");
    if (!f) {
        std::fprintf(stderr, "cannot open %s\n", Path);
        return 1;
    }
    std::fseek(f, 0, SEEK_END);
    const double megabytes = double(std::ftell(f)) / (1024.0 * 1024.0);
    std::fclose(f);
    double best = 1e30;
    long nodes = 0;
    for (int i = 0; i < Runs; ++i) {
        double seconds = 0;
        nodes = Load(seconds);
        best = std::min(best, seconds);
    }
    std::printf("%s %.3f s %.1f MiB/s %ld nodes\n", Engine, best, megabytes / best, nodes);
    return 0;
}

double Since(std::chrono::steady_clock::time_point Start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc == 4 && std::strcmp(argv[1], "generate") == 0)
        return Generate(argv[2], std::atol(argv[3]));
    if (argc == 4 && std::strcmp(argv[1], "digest") == 0) {
        // The same document read by this engine and by pugixml: the digests must agree.
        KvInet::TKvXMLEngine xml;
        xml.LoadFromFile(QString::fromLocal8Bit(argv[3]));
        pugi::xml_document doc;
        if (!doc.load_file(argv[3]))
            return 1;
        const TTreeDigest ours = DigestKvinet(xml.RootItem());
        const TTreeDigest theirs = DigestPugi(doc.document_element());
        std::printf("kvinet %016llx %ld elements\npugixml %016llx %ld elements\n",
                    (unsigned long long)ours.Hash, ours.Elements, (unsigned long long)theirs.Hash,
                    theirs.Elements);
        return ours.Hash == theirs.Hash && ours.Elements == theirs.Elements ? 0 : 1;
    }
    if (argc < 4 || std::strcmp(argv[1], "parse") != 0) {
        std::fprintf(stderr, "usage: bench_xml generate FILE MEGABYTES | parse kvinet|pugixml|libxml2 FILE "
                             "[RUNS] | digest - FILE\n");
        return 2;
    }
    const std::string engine = argv[2];
    const char* path = argv[3];
    const int runs = argc > 4 ? std::atoi(argv[4]) : 3;
    if (engine == "kvinet") {
        return Measure("kvinet", path, runs, [path](double& Seconds) {
            auto xml = std::make_unique<KvInet::TKvXMLEngine>();
            const auto start = std::chrono::steady_clock::now();
            xml->LoadFromFile(QString::fromLocal8Bit(path));
            Seconds = Since(start);
            return CountKvinet(xml->RootItem());
        });
    }
    if (engine == "pugixml") {
        return Measure("pugixml", path, runs, [path](double& Seconds) {
            pugi::xml_document doc;
            const auto start = std::chrono::steady_clock::now();
            const pugi::xml_parse_result result = doc.load_file(path);
            Seconds = Since(start);
            return result ? CountPugi(doc) : -1L;
        });
    }
    if (engine == "libxml2") {
        return Measure("libxml2", path, runs, [path](double& Seconds) {
            const auto start = std::chrono::steady_clock::now();
            xmlDoc* doc = xmlReadFile(path, nullptr, XML_PARSE_NONET | XML_PARSE_HUGE);
            Seconds = Since(start);
            const long nodes = doc ? CountLibxml(reinterpret_cast<xmlNode*>(doc)) : -1L;
            xmlFreeDoc(doc);
            return nodes;
        });
    }
    std::fprintf(stderr, "unknown engine %s\n", engine.c_str());
    return 2;
}
