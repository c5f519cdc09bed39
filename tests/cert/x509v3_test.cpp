// Extension records: one case per extension type of the conversion table, the edge cases of
// masks, path lengths and notice numbers, unsupported and malformed extensions; times; CRLs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>

#include "crypto/cadb/cert.h"
#include "crypto/cadb/x509v3.h"
#include "crypto/objects/objects.h"
#include "fixture.h"

using namespace jarnel;
using namespace certtest;

namespace {

struct CertFree {
  void operator()(CERT* c) const { CERT_free(c); }
};
using CertPtr = std::unique_ptr<CERT, CertFree>;

std::string text(const BUFFER* b) {
  return b ? std::string(reinterpret_cast<const char*>(b->data), static_cast<std::size_t>(b->length)) : "(null)";
}
std::string text(const CADB_ATTRIBUTES* a) {
  const CADB_ATTRIBUTE* e = CADB_ATTRIBUTES_get(a, 0);
  return e ? text(e->value) : "(null)";
}
std::string ascii_hex(const char* s) { return hex(reinterpret_cast<const unsigned char*>(s), std::strlen(s)); }

CertPtr cert_with(std::vector<Ext> exts) {
  CertPlan plan;
  plan.exts = std::move(exts);
  Bytes der = make_cert(plan);
  return CertPtr(CERT_read_buffer(der.data(), static_cast<int>(der.size())));
}

struct Case {
  const char* label;
  Ext ext;
  int type;
  V3ExtForm form;
  std::function<void(const CADB_V3EXT&)> check;
};

std::string gname(const CADB_GENERAL_NAME* g) {
  if (!g) return "(none)";
  switch (g->type) {
    case CADB_GEN_DIRNAME: {
      std::string s = "dir:";
      for (const CADB_ATTRIBUTE* a = g->name->first; a; a = a->next)
        s += std::string(a->type->sn) + "=" + text(a->value) + ";";
      return s;
    }
    case CADB_GEN_RID:
      return std::string("rid:") + g->oid->text;
    default:
      return std::to_string(g->type) + ":" + text(g->text);
  }
}

std::string gnames(const CADB_GENERAL_NAME* g) {
  std::string s;
  for (; g; g = g->next) s += gname(g) + "|";
  return s;
}

std::string tm(const CADB_TIME* t) {
  char s[64];
  std::snprintf(s, sizeof s, "%d-%d-%d %d:%d:%d w%d y%d", t->year, t->mon, t->mday, t->hour, t->min,
                t->sec, t->wday, t->yday);
  return s;
}

const Case kCases[] = {
    {"keyUsage", {"keyUsage", "digitalSignature,keyCertSign", true}, NID_KEY_USAGE, V3ExtForm::Mask,
     [](const CADB_V3EXT& e) {
       EXPECT_EQ(e.critical, 1);
       EXPECT_EQ(e.value.mask, 0x21u);
     }},
    {"keyUsage longer than four bytes keeps 32 bits", {"2.5.29.15", "030600FF00008001", false, true},
     NID_KEY_USAGE, V3ExtForm::Mask, [](const CADB_V3EXT& e) { EXPECT_EQ(e.value.mask, 0x010000FFu); }},
    {"nsCertType", {"nsCertType", "client,server,objsign"}, NID_NS_CERT_TYPE, V3ExtForm::Mask,
     [](const CADB_V3EXT& e) { EXPECT_EQ(e.value.mask, 0x0Bu); }},
    {"nsComment", {"nsComment", "a comment"}, NID_NS_COMMENT, V3ExtForm::Text,
     [](const CADB_V3EXT& e) {
       EXPECT_EQ(text(e.value.text), "a comment");
       EXPECT_EQ(e.value.text->first->string_type, V_ASN1_IA5STRING);
     }},
    {"nsBaseUrl", {"nsBaseUrl", "http://base/"}, NID_NS_BASE_URL, V3ExtForm::Text,
     [](const CADB_V3EXT& e) { EXPECT_EQ(text(e.value.text), "http://base/"); }},
    {"nsRevocationUrl", {"nsRevocationUrl", "http://rev/"}, NID_NS_REVOCATION_URL, V3ExtForm::Text,
     [](const CADB_V3EXT& e) { EXPECT_EQ(text(e.value.text), "http://rev/"); }},
    {"nsCaRevocationUrl", {"nsCaRevocationUrl", "http://carev/"}, NID_NS_CA_REVOCATION_URL,
     V3ExtForm::Text, [](const CADB_V3EXT& e) { EXPECT_EQ(text(e.value.text), "http://carev/"); }},
    {"nsRenewalUrl", {"nsRenewalUrl", "http://renew/"}, NID_NS_RENEWAL_URL, V3ExtForm::Text,
     [](const CADB_V3EXT& e) { EXPECT_EQ(text(e.value.text), "http://renew/"); }},
    {"nsCaPolicyUrl", {"nsCaPolicyUrl", "http://pol/"}, NID_NS_CA_POLICY_URL, V3ExtForm::Text,
     [](const CADB_V3EXT& e) { EXPECT_EQ(text(e.value.text), "http://pol/"); }},
    {"nsSslServerName", {"nsSslServerName", "srv.example"}, NID_NS_SSL_SERVER_NAME, V3ExtForm::Text,
     [](const CADB_V3EXT& e) { EXPECT_EQ(text(e.value.text), "srv.example"); }},
    {"subjectSignTool", {"1.2.643.100.111", "0C" "05" + ascii_hex("Tool1"), false, true},
     NID_SUBJECT_SIGN_TOOL, V3ExtForm::Text, [](const CADB_V3EXT& e) {
       EXPECT_EQ(text(e.value.text), "Tool1");
       EXPECT_EQ(e.value.text->first->string_type, V_ASN1_UTF8STRING);
     }},
    {"subjectKeyIdentifier", {"subjectKeyIdentifier", "0102AB"}, NID_SUBJECT_KEY_IDENTIFIER,
     V3ExtForm::Buffer, [](const CADB_V3EXT& e) { EXPECT_EQ(hex(e.value.buffer), "0102AB"); }},
    {"crlNumber", {"2.5.29.20", "020105", false, true}, NID_CRL_NUMBER, V3ExtForm::Buffer,
     [](const CADB_V3EXT& e) { EXPECT_EQ(hex(e.value.buffer), "05"); }},
    {"deltaCRL", {"2.5.29.27", "02020080", true, true}, NID_DELTA_CRL, V3ExtForm::Buffer,
     [](const CADB_V3EXT& e) { EXPECT_EQ(hex(e.value.buffer), "0080"); }},
    {"privateKeyUsagePeriod",
     {"2.5.29.16", "3022800F" + ascii_hex("20240229123456Z") + "810F" + ascii_hex("20250101000000Z"), false, true},
     NID_PRIVATE_KEY_USAGE_PERIOD, V3ExtForm::PkeyUsagePeriod, [](const CADB_V3EXT& e) {
       EXPECT_EQ(tm(e.value.period->not_before), "124-1-29 12:34:56 w4 y59");
       EXPECT_EQ(tm(e.value.period->not_after), "125-0-1 0:0:0 w3 y0");
     }},
    {"privateKeyUsagePeriod, not after only", {"2.5.29.16", "3011810F" + ascii_hex("20250101000000Z"), false, true},
     NID_PRIVATE_KEY_USAGE_PERIOD, V3ExtForm::PkeyUsagePeriod, [](const CADB_V3EXT& e) {
       EXPECT_EQ(e.value.period->not_before, nullptr);
       ASSERT_TRUE(e.value.period->not_after);
     }},
    {"subjectAltName",
     {"subjectAltName", "email:a@b.ru,DNS:x.ru,URI:http://u/,IP:10.1.2.3,IP:2001:db8::1,dirName:dirname,RID:1.2.3.4"},
     NID_SUBJECT_ALT_NAME, V3ExtForm::GeneralNames, [](const CADB_V3EXT& e) {
       EXPECT_EQ(gnames(e.value.names),
                 "129:a@b.ru|130:x.ru|134:http://u/|135:10.1.2.3|135:2001:DB8:0:0:0:0:0:1|"
                 "dir:C=RU;CN=Dir Name;|rid:1.2.3.4|");
     }},
    {"issuerAltName", {"issuerAltName", "email:ca@b.ru"}, NID_ISSUER_ALT_NAME, V3ExtForm::GeneralNames,
     [](const CADB_V3EXT& e) { EXPECT_EQ(gnames(e.value.names), "129:ca@b.ru|"); }},
    {"certificateIssuer", {"2.5.29.29", "300A8608" + ascii_hex("http://x"), false, true},
     NID_CERTIFICATE_ISSUER, V3ExtForm::GeneralNames,
     [](const CADB_V3EXT& e) { EXPECT_EQ(gnames(e.value.names), "134:http://x|"); }},
    {"basicConstraints", {"basicConstraints", "CA:TRUE,pathlen:3", true}, NID_BASIC_CONSTRAINTS,
     V3ExtForm::BasicConstraints, [](const CADB_V3EXT& e) {
       EXPECT_EQ(e.value.basic->ca, 1);
       EXPECT_EQ(e.value.basic->path_length, 3);
     }},
    {"basicConstraints without a path length", {"basicConstraints", "CA:FALSE"}, NID_BASIC_CONSTRAINTS,
     V3ExtForm::BasicConstraints, [](const CADB_V3EXT& e) {
       EXPECT_EQ(e.value.basic->ca, 0);
       EXPECT_EQ(e.value.basic->path_length, -1);
     }},
    {"certificatePolicies", {"certificatePolicies", "@pol,1.2.643.100.113.1"}, NID_CERTIFICATE_POLICIES,
     V3ExtForm::CertPolicies, [](const CADB_V3EXT& e) {
       const CADB_POLICY_INFO* p = e.value.policies;
       ASSERT_TRUE(p && p->next);
       EXPECT_STREQ(p->policy->text, "1.2.3.4");
       const CADB_POLICY_QUALIFIER* q = p->qualifiers;
       ASSERT_TRUE(q && q->next);
       EXPECT_EQ(q->nid, NID_ID_QT_CPS);
       EXPECT_STREQ(q->type->sn, "id-qt-cps");
       EXPECT_EQ(text(q->cps), "http://cps.example/cps");
       q = q->next;
       EXPECT_EQ(q->nid, NID_ID_QT_UNOTICE);
       ASSERT_TRUE(q->notice && q->notice->reference);
       EXPECT_EQ(text(q->notice->reference->organization), "Org Name");
       EXPECT_EQ(text(q->notice->reference->numbers), "1,2,3");
       EXPECT_EQ(text(q->notice->explicit_text), "Explicit text");
       EXPECT_STREQ(p->next->policy->text, "1.2.643.100.113.1");
       EXPECT_EQ(p->next->qualifiers, nullptr);
     }},
    {"authorityKeyIdentifier",
     {"authorityKeyIdentifier", "", false, true},  // value set below
     NID_AUTHORITY_KEY_IDENTIFIER, V3ExtForm::AuthorityKeyId, [](const CADB_V3EXT& e) {
       EXPECT_EQ(hex(e.value.key_id->key_id), "AABB");
       EXPECT_EQ(gnames(e.value.key_id->issuer), "134:http://x|");
       EXPECT_EQ(hex(e.value.key_id->serial), "05");
     }},
    {"crlDistributionPoints", {"crlDistributionPoints", "dp,dprel"}, NID_CRL_DISTRIBUTION_POINTS,
     V3ExtForm::CrlDistPoints, [](const CADB_V3EXT& e) {
       const CADB_CRL_DIST_POINT* d = e.value.dist_points;
       ASSERT_TRUE(d && d->name && d->next);
       EXPECT_EQ(d->name->kind, 0);
       EXPECT_EQ(gnames(d->name->full_name), "134:http://crl.example/dp.crl|");
       EXPECT_EQ(d->reasons, 0x12u);  // keyCompromise (1), superseded (4)
       EXPECT_EQ(gnames(d->crl_issuer), "dir:C=RU;CN=Dir Name;|");
       ASSERT_TRUE(d->next->name);
       EXPECT_EQ(d->next->name->kind, 1);
       EXPECT_EQ(text(d->next->name->relative_name), "Relative");
     }},
    {"freshestCRL", {"freshestCRL", "URI:http://delta/"}, NID_FRESHEST_CRL, V3ExtForm::CrlDistPoints,
     [](const CADB_V3EXT& e) { EXPECT_EQ(gnames(e.value.dist_points->name->full_name), "134:http://delta/|"); }},
    {"extendedKeyUsage", {"extendedKeyUsage", "serverAuth,1.2.3.99"}, NID_EXT_KEY_USAGE,
     V3ExtForm::Objects, [](const CADB_V3EXT& e) {
       ASSERT_TRUE(e.value.object && e.value.object->next);
       EXPECT_STREQ(e.value.object->sn, "serverAuth");
       EXPECT_STREQ(e.value.object->text, "1.3.6.1.5.5.7.3.1");
       EXPECT_EQ(e.value.object->nid, 0);
       EXPECT_STREQ(e.value.object->next->sn, "1.2.3.99");
     }},
    {"CRLReason", {"2.5.29.21", "0A0101", false, true}, NID_CRL_REASON, V3ExtForm::Integer,
     [](const CADB_V3EXT& e) { EXPECT_EQ(e.value.integer, 1); }},
    {"invalidityDate", {"2.5.29.24", "180F" + ascii_hex("20240101000000Z"), false, true},
     NID_INVALIDITY_DATE, V3ExtForm::Time,
     [](const CADB_V3EXT& e) { EXPECT_EQ(tm(e.value.time), "124-0-1 0:0:0 w1 y0"); }},
    {"holdInstructionCode", {"2.5.29.23", "06072A8648CE380202", false, true}, NID_HOLD_INSTRUCTION_CODE,
     V3ExtForm::Object, [](const CADB_V3EXT& e) {
       EXPECT_STREQ(e.value.object->text, "1.2.840.10040.2.2");
       EXPECT_STREQ(e.value.object->sn, "holdInstructionCallIssuer");
     }},
    {"inhibitAnyPolicy", {"inhibitAnyPolicy", "2"}, NID_INHIBIT_ANY_POLICY, V3ExtForm::Integer,
     [](const CADB_V3EXT& e) { EXPECT_EQ(e.value.integer, 2); }},
    {"policyMappings", {"policyMappings", "1.2.3.4:1.2.3.5"}, NID_POLICY_MAPPINGS, V3ExtForm::PolicyMappings,
     [](const CADB_V3EXT& e) {
       EXPECT_STREQ(e.value.mappings->issuer_domain->text, "1.2.3.4");
       EXPECT_STREQ(e.value.mappings->subject_domain->text, "1.2.3.5");
     }},
    {"policyConstraints", {"policyConstraints", "requireExplicitPolicy:1"}, NID_POLICY_CONSTRAINTS,
     V3ExtForm::PolicyConstraints, [](const CADB_V3EXT& e) {
       EXPECT_EQ(e.value.constraints->require_explicit_policy, 1);
       EXPECT_EQ(e.value.constraints->inhibit_policy_mapping, -1);
     }},
    {"nameConstraints", {"nameConstraints", "permitted;DNS:.example.ru,excluded;IP:10.0.0.0/255.0.0.0"},
     NID_NAME_CONSTRAINTS, V3ExtForm::NameConstraints, [](const CADB_V3EXT& e) {
       const CADB_NAME_CONSTRAINTS* n = e.value.name_constraints;
       ASSERT_TRUE(n->permitted && n->excluded);
       EXPECT_EQ(gname(n->permitted->base), "130:.example.ru");
       EXPECT_EQ(n->permitted->minimum, 0);
       EXPECT_EQ(n->permitted->maximum, -1);
       EXPECT_EQ(gname(n->excluded->base), "135:10.0.0.0/255.0.0.0");
     }},
    {"authorityInfoAccess", {"authorityInfoAccess", "OCSP;URI:http://ocsp/,caIssuers;URI:http://ca/"},
     NID_AUTHORITY_INFO_ACCESS, V3ExtForm::AccessDescriptions, [](const CADB_V3EXT& e) {
       const CADB_ACCESS_DESCRIPTION* a = e.value.access;
       ASSERT_TRUE(a && a->next);
       EXPECT_STREQ(a->method->sn, "OCSP");
       EXPECT_EQ(gname(a->location), "134:http://ocsp/");
       EXPECT_STREQ(a->next->method->sn, "caIssuers");
     }},
    {"subjectInfoAccess", {"subjectInfoAccess", "caRepository;URI:http://repo/"}, NID_SUBJECT_INFO_ACCESS,
     V3ExtForm::AccessDescriptions,
     [](const CADB_V3EXT& e) { EXPECT_EQ(gname(e.value.access->location), "134:http://repo/"); }},
    {"issuingDistributionPoint", {"issuingDistributionPoint", "@idp", true}, NID_ISSUING_DISTRIBUTION_POINT,
     V3ExtForm::IssuingDistPoint, [](const CADB_V3EXT& e) {
       const CADB_ISSUING_DIST_POINT* i = e.value.idp;
       EXPECT_EQ(gnames(i->name->full_name), "134:http://crl.example/idp.crl|");
       EXPECT_EQ(i->only_user_certificates, 1);
       EXPECT_EQ(i->only_ca_certificates, 0);
       EXPECT_EQ(i->only_some_reasons, 0x06u);  // keyCompromise (1), CACompromise (2)
       EXPECT_EQ(i->indirect_crl, 0);
       EXPECT_EQ(i->only_attribute_certificates, 0);
     }},
    {"subjectDirectoryAttributes",
     // dateOfBirth (1.3.6.1.5.5.7.9.1) = GeneralizedTime; countryOfCitizenship = "RU", "BY"
     {"2.5.29.9", "303A301D06082B060105050709013111180F31393830303130313030303030305A301906082B06010505070904310D13025255130242590C000101FF", false, true},
     NID_SUBJECT_DIRECTORY_ATTRIBUTES, V3ExtForm::Attributes, [](const CADB_V3EXT& e) {
       const CADB_ATTRIBUTES* a = e.value.text;
       ASSERT_TRUE(a && a->next);
       EXPECT_STREQ(a->type->text, "1.3.6.1.5.5.7.9.1");
       EXPECT_EQ(a->count, 1);
       EXPECT_EQ(text(a), "19800101000000Z");
       EXPECT_EQ(a->next->count, 4);
       EXPECT_EQ(text(CADB_ATTRIBUTES_get(a->next, 0)->value), "RU");
       EXPECT_EQ(text(CADB_ATTRIBUTES_get(a->next, 1)->value), "BY");
       EXPECT_EQ(text(CADB_ATTRIBUTES_get(a->next, 2)->value), "");
       EXPECT_EQ(text(CADB_ATTRIBUTES_get(a->next, 3)->value), "TRUE");
     }},
    {"biometricInfo",
     {"1.3.6.1.5.5.7.1.2", "30363017020100300806062A850302020904020ABC160468747470301B06032A0304300806062A8503020209040AAABBCCDDEEFF00112233", false, true},
     NID_BIOMETRIC_INFO, V3ExtForm::Biometric, [](const CADB_V3EXT& e) {
       const CADB_BIOMETRIC* b = e.value.biometric;
       ASSERT_TRUE(b && b->next);
       EXPECT_EQ(b->predefined_type, 0);
       EXPECT_EQ(b->type_oid, nullptr);
       EXPECT_EQ(b->hash_algorithm, NID_CP_R3411);
       EXPECT_EQ(hex(b->hash), "0ABC");
       EXPECT_EQ(text(b->source_uri), "http");
       EXPECT_EQ(b->next->predefined_type, -1);
       EXPECT_STREQ(b->next->type_oid->text, "1.2.3.4");
       EXPECT_EQ(b->next->source_uri, nullptr);
     }},
};

TEST(V3Ext, EveryTypeOfTheTableConverts) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.label);
    Ext ext = c.ext;
    if (ext.name == "authorityKeyIdentifier") {
      ext.name = "2.5.29.35";
      ext.value = "30138002AABBA10A8608" + ascii_hex("http://x") + "820105";
    }
    CertPtr cert = cert_with({ext});
    ASSERT_TRUE(cert);
    const CADB_V3EXT* e = cert->extensions;
    ASSERT_TRUE(e);
    EXPECT_EQ(e->next, nullptr);
    EXPECT_EQ(e->type, c.type);
    EXPECT_EQ(e->parsed, 1);
    EXPECT_EQ(e->unsupported, 0);
    EXPECT_EQ(e->critical, ext.critical ? 1 : 0);
    ASSERT_EQ(e->form, c.form);
    c.check(*e);
  }
}

TEST(V3Ext, UnknownTypeIsFlaggedAndTheCertificateStillBuilt) {
  CertPtr c = cert_with({{"nsComment", "first"}, {"1.2.3.4.5", "0500", true, true},
                         {"nsComment", "second"}});
  ASSERT_TRUE(c);
  const CADB_V3EXT* e = c->extensions;
  ASSERT_TRUE(e && e->next && e->next->next);
  EXPECT_EQ(text(e->value.text), "first");
  const CADB_V3EXT* u = e->next;
  EXPECT_EQ(u->unsupported, 1);
  EXPECT_EQ(u->parsed, 0);
  EXPECT_EQ(u->critical, 1);
  EXPECT_EQ(u->type, 0);
  EXPECT_STREQ(u->oid->text, "1.2.3.4.5");
  EXPECT_EQ(u->form, V3ExtForm::None);
  // The duplicate is kept, in order.
  EXPECT_EQ(text(u->next->value.text), "second");
}

TEST(V3Ext, MalformedKnownExtensionRefusesTheCertificate) {
  const struct {
    const char* oid;
    const char* der;
  } bad[] = {
      {"2.5.29.15", "0400"},          // keyUsage that is not a BIT STRING
      {"2.5.29.19", "300000"},        // trailing byte after basicConstraints
      {"2.5.29.19", "3003020180"},    // negative path length
      {"2.5.29.37", "3000"},          // empty extended key usage
      {"2.5.29.17", "3000"},          // empty alternative names
      {"2.5.29.21", "0A09010000000000000000"},  // reason code beyond a long
      {"2.5.29.24", "18083230323430313031"},  // a date that is no time
      {"1.3.6.1.5.5.7.1.2", "3000"},  // biometricInfo without entries
      {"1.3.6.1.5.5.7.1.2", "30053003020100"},  // an entry without its hash
      {"2.5.29.9", "300730050603" "2A0304"},  // attribute without its values
      {"1.2.643.100.111", "0C05AB"},  // a UTF8String shorter than its length
  };
  for (const auto& b : bad) {
    SCOPED_TRACE(std::string(b.oid) + " " + b.der);
    jarnel::ERR_clear_error();
    CertPtr c = cert_with({{b.oid, b.der, false, true}});
    EXPECT_FALSE(c);
    bool split = false, parse = false;
    while (unsigned long e = jarnel::ERR_get_error()) {
      split |= e == ERR_pack(LIB_CADB, CADB_F_CERT_SPLIT, R_INTERNAL_ERROR);
      parse |= e == ERR_pack(LIB_CADB, CADB_F_CADB_V3EXT_PARSE, R_INTERNAL_ERROR);
    }
    EXPECT_TRUE(split);
    EXPECT_TRUE(parse);
    // As PEM the same: the certificate's own reasons, and no second try as bare Base64.
    CertPlan plan;
    plan.exts = {{b.oid, b.der, false, true}};
    const std::string pem = pem_of(make_cert(plan), "CERTIFICATE");
    EXPECT_FALSE(CertPtr(CERT_read_buffer(pem.data(), static_cast<int>(pem.size()))));
    std::vector<unsigned long> q;
    while (unsigned long e = jarnel::ERR_get_error()) q.push_back(e);
    ASSERT_GE(q.size(), 2u);
    EXPECT_EQ(q.back(), ERR_pack(LIB_CADB, CADB_F_CERT_READ_BUFFER, CADB_R_CADB_LIB));
    EXPECT_EQ(std::count(q.begin(), q.end(), ERR_pack(LIB_CADB, CADB_F_CERT_SPLIT, R_INTERNAL_ERROR)), 1);
  }
}

TEST(Asn1Time, BrokenDownLikeTheCLibrary) {
  const char* times[] = {"500101000000Z", "491231235959Z", "20000229000000Z", "21060207062816Z",
                         "19700101000000Z", "20381231235959Z"};
  for (const char* s : times) {
    SCOPED_TRACE(s);
    ASN1_TIME* t = ASN1_TIME_new();
    ASSERT_TRUE(ASN1_TIME_set_string(t, s));
    CADB_TIME c{};
    ASSERT_TRUE(ASN1_TIME_parse(t, &c));
    std::tm ref{};
    ASSERT_TRUE(ASN1_TIME_to_tm(t, &ref));
    const std::time_t secs = timegm(&ref);
    std::tm norm{};
    gmtime_r(&secs, &norm);
    EXPECT_EQ(std::vector<int>({c.sec, c.min, c.hour, c.mday, c.mon, c.year, c.wday, c.yday, c.isdst}),
              std::vector<int>({norm.tm_sec, norm.tm_min, norm.tm_hour, norm.tm_mday, norm.tm_mon,
                                norm.tm_year, norm.tm_wday, norm.tm_yday, 0}));
    ASN1_TIME_free(t);
  }
  ASN1_TIME* bad = ASN1_STRING_type_new(V_ASN1_UTCTIME);
  ASN1_STRING_set(bad, "991399000000Z", -1);
  CADB_TIME c{};
  EXPECT_FALSE(ASN1_TIME_parse(bad, &c));
  EXPECT_FALSE(ASN1_TIME_parse(nullptr, &c));
  ASN1_TIME_free(bad);
  jarnel::ERR_clear_error();
}

// CRLs.

struct CrlFree {
  void operator()(CRL* c) const { CRL_free(c); }
};
using CrlPtr = std::unique_ptr<CRL, CrlFree>;

Bytes make_crl(bool with_entries) {
  X509_CRL* crl = X509_CRL_new();
  X509_CRL_set_version(crl, 1);
  X509_NAME* n = X509_NAME_new();
  X509_NAME_add_entry_by_txt(n, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("CRL Issuer"), -1, -1, 0);
  X509_CRL_set_issuer_name(crl, n);
  X509_NAME_free(n);
  ASN1_TIME* t = ASN1_TIME_new();
  ASN1_TIME_set_string_X509(t, "20240101000000Z");
  X509_CRL_set1_lastUpdate(crl, t);
  ASN1_TIME_set_string_X509(t, "20240201000000Z");
  X509_CRL_set1_nextUpdate(crl, t);
  if (with_entries) {
    for (int i = 0; i < 2; ++i) {
      X509_REVOKED* r = X509_REVOKED_new();
      ASN1_INTEGER* sn = ASN1_INTEGER_new();
      ASN1_INTEGER_set(sn, 0x1234 + i);
      X509_REVOKED_set_serialNumber(r, sn);
      ASN1_INTEGER_free(sn);
      ASN1_TIME_set_string_X509(t, "20240115103000Z");
      X509_REVOKED_set_revocationDate(r, t);
      if (i == 0) {
        X509_EXTENSION* e = make_ext({"2.5.29.21", "0A0101", false, true});
        X509_REVOKED_add_ext(r, e, -1);
        X509_EXTENSION_free(e);
        e = make_ext({"2.5.29.24", "180F" + ascii_hex("20240110000000Z"), false, true});
        X509_REVOKED_add_ext(r, e, -1);
        X509_EXTENSION_free(e);
      }
      X509_CRL_add0_revoked(crl, r);
    }
  }
  X509_EXTENSION* e = make_ext({"2.5.29.20", "020107", false, true});
  X509_CRL_add_ext(crl, e, -1);
  X509_EXTENSION_free(e);
  ASN1_TIME_free(t);
  X509_CRL_sort(crl);
  X509_CRL_sign(crl, issuer_key(), EVP_sha256());
  unsigned char* der = nullptr;
  int len = i2d_X509_CRL(crl, &der);
  Bytes out(der, der + len);
  OPENSSL_free(der);
  X509_CRL_free(crl);
  return out;
}

TEST(CrlRecord, FieldsEntriesAndExtensions) {
  const Bytes der = make_crl(true);
  for (const std::string& form : {std::string(der.begin(), der.end()), pem_of(der, "X509 CRL"),
                                  base64_of(der, "\n", false)}) {
    CrlPtr c(CRL_read_buffer(form.data(), static_cast<int>(form.size())));
    ASSERT_TRUE(c);
    EXPECT_EQ(c->version, 1);
    EXPECT_EQ(c->signature_algorithm, NID_SHA256_WITH_RSA);
    EXPECT_EQ(tm(&c->this_update), "124-0-1 0:0:0 w1 y0");
    ASSERT_TRUE(c->next_update);
    EXPECT_EQ(c->next_update->mon, 1);
    EXPECT_EQ(text(c->issuer_text), "CN = CRL Issuer");
    EXPECT_EQ(text(c->issuer), "CRL Issuer");
    ASSERT_TRUE(c->revoked && c->revoked->next);
    const CADB_REVOKED* r = c->revoked;
    EXPECT_EQ(hex(r->serial), "1234");
    EXPECT_EQ(r->revocation_date.hour, 10);
    ASSERT_TRUE(r->extensions && r->extensions->next);
    EXPECT_EQ(r->extensions->type, NID_CRL_REASON);
    EXPECT_EQ(r->extensions->value.integer, 1);
    EXPECT_EQ(r->extensions->next->type, NID_INVALIDITY_DATE);
    EXPECT_EQ(sk_X509_EXTENSION_num(r->raw_extensions), 2);
    EXPECT_EQ(r->next->extensions, nullptr);
    EXPECT_EQ(r->next->raw_extensions, nullptr);
    ASSERT_TRUE(c->extensions);
    EXPECT_EQ(c->extensions->type, NID_CRL_NUMBER);
    EXPECT_EQ(hex(c->extensions->value.buffer), "07");
    EXPECT_TRUE(c->crl);
  }
  CrlPtr empty(CRL_read_buffer(make_crl(false).data(), static_cast<int>(make_crl(false).size())));
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->revoked, nullptr);
}

TEST(CrlRecord, MalformedCrlsAreRefused) {
  const Bytes der = make_crl(true);
  for (std::size_t n = 1; n < der.size(); ++n) {
    Bytes t(der.begin(), der.begin() + static_cast<long>(n));
    ASSERT_FALSE(CrlPtr(CRL_read_buffer(t.data(), static_cast<int>(t.size())))) << n;
    jarnel::ERR_clear_error();
  }
  // A certificate is not a CRL; neither are empty bytes.
  const Bytes cert = make_cert(CertPlan{});
  EXPECT_FALSE(CrlPtr(CRL_read_buffer(cert.data(), static_cast<int>(cert.size()))));
  EXPECT_FALSE(CrlPtr(CRL_read_buffer(cert.data(), 0)));
  jarnel::ERR_clear_error();
}

}  // namespace
