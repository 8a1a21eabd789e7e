// kvinet xml: loads an XML file with the engine and prints its tree, one item per line.
#include "Cli.h"

#include "xml/KvInetXML.h"

#include <algorithm>
#include <vector>

namespace KvCli {

namespace {
const char* const synopsis = "FILE [--find TAG] [--attributes]";
const char* const description =
    "Loads FILE with the XML engine and prints the tree, one item per line, indented two spaces per level\n"
    "(up to 64 levels; a deeper item starts with \"[depth N] \"):\n"
    "the tag name, \" [attribute]\" or \" [comment]\" for those kinds, then \" = \" and the decoded value\n"
    "when the item has one (by the encoding FILE declares; as UTF-8 when it declares none). Backslash,\n"
    "CR, LF and tab in names and values are written as \\\\, \\r, \\n, \\t, other control characters\n"
    "as \\xHH.\n"
    "With --find, only the subtree of the first item named TAG (ignoring case); exit 1 when there is none.\n"
    "With --attributes, every element's attributes are split into attribute items, printed right under\n"
    "the element before its other children.";

/// Builds each item's line and hands it to the block-buffered output.
class TOutput {
public:
    void Add(const QString& Text) { FLine += EscapeLine(Text); }
    void AddRaw(QStringView Text) { FLine += Text; }
    void EndLine() {
        FOut.Line(FLine);
        FLine.clear();
    }

private:
    QString FLine;
    TLineOutput FOut;
};

// Deeper items are not indented further: a document nested a million levels deep would otherwise print
// a quadratic amount of spaces.
constexpr int MaxIndent = 64;

void PrintItem(TOutput& Out, const KvInet::TKvXMLEngine& Engine, const KvInet::TKvXMLItem* Item) {
    const int level = Item->Level();
    static const QString spaces(2 * MaxIndent, u' ');
    Out.AddRaw(QStringView(spaces).left(2 * std::min(level, MaxIndent)));
    if (level > MaxIndent)
        Out.AddRaw(QStringLiteral("[depth %1] ").arg(level));
    Out.Add(Item->TagName());
    if (Item->Kind() == KvInet::ikAttribute)
        Out.AddRaw(u" [attribute]");
    else if (Item->Kind() == KvInet::ikComment)
        Out.AddRaw(u" [comment]");
    if (Item->ValueAssigned()) {
        Out.AddRaw(u" = ");
        // As the engine gives it to applications: text without a usable declaration is read as UTF-8,
        // the default of XML, rather than shown a byte per character.
        Out.Add(Engine.GetTagText(Item));
    }
    Out.EndLine();
}

/// The children of Item in the order they print: with AttributesFirst the attribute items come first (they
/// were added after the element's other children), otherwise the list's order.
std::vector<const KvInet::TKvXMLItem*> PrintOrder(const KvInet::TKvXMLItem* Item, bool AttributesFirst) {
    std::vector<const KvInet::TKvXMLItem*> order(Item->Items().begin(), Item->Items().end());
    if (AttributesFirst)
        std::stable_partition(order.begin(), order.end(),
                              [](const KvInet::TKvXMLItem* C) { return C->Kind() == KvInet::ikAttribute; });
    return order;
}

/// Splits the attribute text of every item under Top (Top included) into attribute items.
void SplitAttributes(KvInet::TKvXMLItem* Top) {
    std::vector<KvInet::TKvXMLItem*> work{Top};
    while (!work.empty()) {
        KvInet::TKvXMLItem* item = work.back();
        work.pop_back();
        for (KvInet::TKvXMLItem* child : item->Items())
            if (child->Kind() != KvInet::ikAttribute)
                work.push_back(child);
        item->ProcessAttributes(); // after the children were taken: the new items need no visit
    }
}

/// Pre-order without recursion, so that any depth of nesting prints.
void PrintTree(const KvInet::TKvXMLEngine& Engine, const KvInet::TKvXMLItem* Top, bool AttributesFirst) {
    TOutput out;
    std::vector<std::pair<std::vector<const KvInet::TKvXMLItem*>, size_t>> stack;
    PrintItem(out, Engine, Top);
    stack.emplace_back(PrintOrder(Top, AttributesFirst), 0);
    while (!stack.empty()) {
        auto& [children, next] = stack.back();
        if (next >= children.size()) {
            stack.pop_back();
            continue;
        }
        const KvInet::TKvXMLItem* child = children[next++];
        PrintItem(out, Engine, child);
        stack.emplace_back(PrintOrder(child, AttributesFirst), 0);
    }
}
int Run(const Invocation& Call) {
    Args args(Call, QString::fromLatin1(synopsis), QString::fromLatin1(description));
    args.Option(QStringLiteral("find"), QStringLiteral("TAG"),
                QStringLiteral("print only the subtree of the first item named TAG"));
    args.Flag(QStringLiteral("attributes"), QStringLiteral("split every element's attributes into items"));
    if (!args.Parse(Call.Arguments, 1, 1))
        return ExitOk;
    KvInet::TKvXMLEngine engine;
    engine.LoadFromFile(args.Positional().at(0));
    const bool attributes = args.Has(QStringLiteral("attributes"));
    if (attributes)
        SplitAttributes(engine.RootItem());
    const KvInet::TKvXMLItem* top = engine.RootItem();
    if (args.Has(QStringLiteral("find"))) {
        top = engine.GetItemByTag(nullptr, args.Value(QStringLiteral("find")));
        if (!top) {
            WriteError(
                QStringLiteral("kvinet xml: no item named '%1'").arg(args.Value(QStringLiteral("find"))));
            return ExitFailed;
        }
    } else if (top->TagName().isEmpty() && !top->ValueAssigned() && top->Items().Count() == 0) {
        return ExitOk; // nothing was read: an empty file prints nothing
    }
    PrintTree(engine, top, attributes);
    return ExitOk;
}

const Command reg{"xml", "parse an XML file and print its tree", Run, {}, cgXml};

} // namespace

} // namespace KvCli
