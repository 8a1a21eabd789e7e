// KvWhoIs: server choice by suffix and the one-line query.
#include "socket/KvWhoIs.h"

#include "platform/WireText.h"

#include <algorithm>

namespace KvInet {

namespace {

// The registry whois server of each suffix. The 18 two-label lines are never chosen automatically (only the
// last label is looked up); they are there for applications that choose a server themselves.
const char* const BuiltInServers[] = {
    "*=whois.arin.net", "ac=whois.nic.ac", "ae=whois.aeda.net.ae", "aero=whois.aero", "af=whois.nic.af",
    "ag=whois.nic.ag", "am=whois.amnic.net", "as=whois.nic.as", "asia=whois.nic.asia", "at=whois.nic.at",
    "au=whois.auda.org.au", "be=whois.dns.be", "bg=whois.register.bg", "bi=whois1.nic.bi", "biz=whois.nic.biz",
    "bj=whois.nic.bj", "br=whois.registro.br", "br.com=whois.centralnic.com", "bt=whois.iana.org",
    "bz=whois.identitydigital.services", "ca=whois.cira.ca", "cat=whois.nic.cat",
    "cc=ccwhois.verisign-grs.com", "cd=whois.nic.cd", "ch=whois.nic.ch", "ck=whois.iana.org",
    "cl=whois.nic.cl", "cn=whois.cnnic.cn", "cn.com=whois.centralnic.com", "co=whois.registry.co",
    "com=whois.verisign-grs.com", "coop=whois.nic.coop", "cx=whois.nic.cx", "cz=whois.nic.cz",
    "de=whois.denic.de", "de.com=whois.centralnic.com", "dk=whois.punktum.dk", "dm=whois.dmdomains.dm",
    "dz=whois.nic.dz", "edu=whois.educause.edu", "ee=whois.tld.ee", "eu=whois.eu",
    "eu.com=whois.centralnic.com", "fi=whois.fi", "fo=whois.nic.fo", "fr=whois.nic.fr",
    "gb.com=whois.verisign-grs.com", "gb.net=whois.centralnic.com", "gl=whois.nic.gl", "gov=whois.nic.gov",
    "gs=whois.nic.gs", "hk=whois.hkirc.hk", "hm=whois.registry.hm", "hn=whois.nic.hn", "hu=whois.nic.hu",
    "hu.com=whois.verisign-grs.com", "ie=whois.weare.ie", "il=whois.isoc.org.il", "in=whois.nixiregistry.in",
    "info=whois.iana.org", "int=whois.iana.org", "io=whois.nic.io", "iq=whois.cmc.iq", "ir=whois.nic.ir",
    "is=whois.isnic.is", "it=whois.nic.it", "je=whois.je", "jobs=whois.iana.org", "jp=whois.jprs.jp",
    "ke=whois.kenic.or.ke", "kg=whois.kg", "kr=whois.kr", "la=whois.nic.la", "li=whois.nic.li",
    "lt=whois.domreg.lt", "lu=whois.dns.lu", "lv=whois.nic.lv", "ly=whois.nic.ly", "ma=whois.registre.ma",
    "md=whois.nic.md", "me=whois.nic.me", "mil=whois.iana.org", "mobi=whois.iana.org", "ms=whois.nic.ms",
    "mu=whois.tld.mu", "mx=whois.mx", "my=whois.mynic.my", "name=whois.nic.name", "net=whois.verisign-grs.com",
    "nf=whois.nic.nf", "ng=whois.nic.net.ng", "nl=whois.domain-registry.nl", "no=whois.norid.no",
    "no.com=whois.verisign-grs.com", "nu=whois.iis.nu", "nz=whois.irs.net.nz",
    "org=whois.publicinterestregistry.org", "pl=whois.dns.pl", "pr=whois.afilias-srs.net",
    "pro=whois.iana.org", "pt=whois.dns.pt", "qc.com=whois.verisign-grs.com", "ro=whois.rotld.ro",
    "ru=whois.tcinet.ru", "ru.com=whois.centralnic.com", "sa=whois.nic.net.sa", "sa.com=whois.centralnic.com",
    "sb=whois.nic.net.sb", "sc=whois.nic.sc", "se=whois.iis.se", "se.com=whois.verisign-grs.com",
    "se.net=whois.centralnic.com", "sg=whois.sgnic.sg", "sh=whois.nic.sh", "si=whois.register.si",
    "sk=whois.sk-nic.sk", "sm=whois.nic.sm", "st=whois.nic.st", "su=whois.tcinet.ru", "tc=whois.nic.tc",
    "tel=whois.nic.tel", "tf=whois.nic.tf", "th=whois.thnic.co.th", "tj=whois.iana.org", "tk=whois.dot.tk",
    "tl=whois.nic.tl", "tm=whois.nic.tm", "to=whois.tonicregistry.to", "tp=whois.iana.org",
    "tr=whois.trabis.gov.tr", "travel=whois.iana.org", "tw=whois.twnic.net.tw", "tv=whois.nic.tv",
    "tz=whois.tznic.or.tz", "ua=whois.ua", "uk=whois.nic.uk", "uk.com=whois.centralnic.com",
    "uk.net=whois.centralnic.com", "us=whois.nic.us", "us.com=whois.centralnic.com", "uy=whois.nic.org.uy",
    "uy.com=whois.verisign-grs.com", "uz=whois.cctld.uz", "vc=whois.identitydigital.services",
    "ve=whois.nic.ve", "vg=whois.nic.vg", "ws=whois.website.ws", "xxx=whois.nic.xxx",
    "za.com=whois.centralnic.com",
};

} // namespace

TKvWhoIs::TKvWhoIs(TComponent* AOwner) : TKvInetBase(AOwner) {
    SetPort(43);
    FAutoSelectServer = true;
    FServerList = new TStringList(this);
    FServerList->BeginUpdate();
    for (const char* line : BuiltInServers)
        FServerList->Add(QString::fromLatin1(line));
    FServerList->EndUpdate();
}

TKvWhoIs::~TKvWhoIs() = default;

QString TKvWhoIs::FallbackServer() { return QStringLiteral("whois.arin.net"); }

void TKvWhoIs::SetServerList(TStrings* Value) { FServerList->Assign(Value); }

bool TKvWhoIs::IsIPv4(const QString& S) {
    // Three parts cut at full stops from the left, then the whole remainder: "1.2.3.4.5" leaves "4.5".
    QString rest = S;
    for (int i = 0; i < 4; ++i) {
        QString part = rest;
        if (i < 3) {
            const qsizetype dot = rest.indexOf(u'.');
            if (dot < 0)
                return false;
            part = rest.left(dot);
            rest = rest.mid(dot + 1);
        }
        int value = 0;
        if (!TryStrToInt(part, value) || value < 0 || value > 255)
            return false;
    }
    return true;
}

void TKvWhoIs::SetDomain(const QString& Value) {
    if (Value == FDomain)
        return;
    FDomain = Value;
    if (!FAutoSelectServer || Value.isEmpty())
        return;
    if (IsIPv4(Value)) {
        SetHost(FallbackServer());
        return;
    }
    const QString suffix = Value.mid(Value.lastIndexOf(u'.') + 1);
    SetHost(suffix.isEmpty() ? QString() : FServerList->Values(suffix));
    // A server listed as a numeric address lands in Address; that is a choice too.
    if (Host().isEmpty() && Address().isEmpty())
        SetHost(FServerList->Values(QStringLiteral("*")));
    if (Host().isEmpty() && Address().isEmpty())
        SetHost(FallbackServer());
}

void TKvWhoIs::CheckInput() {
    TKvInetBase::CheckInput();
    RefuseLineBreaks(FDomain, "Domain");
}

QString TKvWhoIs::GetQuery() {
    RefuseLineBreaks(FDomain, "Domain");
    // One byte per character, as every query; a name beyond Latin-1 cannot go that way, and goes whole as
    // UTF-8 (the bytes a terminal gives kvinet for the same name) rather than partly in each encoding.
    QString domain = FDomain;
    if (std::any_of(domain.cbegin(), domain.cend(), [](QChar c) { return c.unicode() > 0xFF; }))
        domain = BytesToWire(domain.toUtf8());
    // Deliberately exact, case included: only the built-in fallback gets the "domain " form its
    // server expects; a Host typed differently is treated as any other server.
    if (Host() == FallbackServer())
        return QStringLiteral("domain ") + domain + QStringLiteral("\r\n");
    return domain + QStringLiteral("\r\n");
}

} // namespace KvInet
