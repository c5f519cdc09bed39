// Printouts of certificate, extension and CRL records.
#include "record_print.h"

#include <cinttypes>

#include "crypto/objects/objects.h"

namespace jarnel::tool {
namespace {

void line(std::FILE* out, const std::string& key, const std::string& value) {
  std::fprintf(out, "%s=%s\n", key.c_str(), value.c_str());
}

std::string text(const BUFFER* b) {
  return b && b->data ? std::string(reinterpret_cast<const char*>(b->data),
                                    static_cast<std::size_t>(b->length))
                      : std::string();
}

std::string first_text(const CADB_ATTRIBUTES* a) {
  const CADB_ATTRIBUTE* e = CADB_ATTRIBUTES_get(a, 0);
  return e ? text(e->value) : std::string();
}

std::string oid(const CADB_OID* o) {
  if (!o) return "";
  return std::string(o->sn) + " (" + o->text + ")";
}

// "C=RU, O=Org, CN=Name": the split entries with their short names.
std::string split_name(const CADB_ATTRIBUTES* name) {
  std::string s;
  for (const CADB_ATTRIBUTE* a = name ? name->first : nullptr; a; a = a->next) {
    if (!s.empty()) s += ", ";
    s += std::string(a->type ? a->type->sn : "?") + "=" + text(a->value);
  }
  return s;
}

std::string general_name(const CADB_GENERAL_NAME* g) {
  switch (g->type) {
    case CADB_GEN_EMAIL: return "email:" + first_text(g->text);
    case CADB_GEN_DNS: return "DNS:" + first_text(g->text);
    case CADB_GEN_URI: return "URI:" + first_text(g->text);
    case CADB_GEN_IPADD: return "IP:" + first_text(g->text);
    case CADB_GEN_DIRNAME: return "dirName:" + split_name(g->name);
    case CADB_GEN_RID: return "RID:" + std::string(g->oid ? g->oid->text : "");
    default: {
      char t[32];
      std::snprintf(t, sizeof t, "type 0x%02X", g->type);
      return t;
    }
  }
}

void names(std::FILE* out, const CADB_GENERAL_NAME* g, const std::string& key) {
  int i = 0;
  for (; g; g = g->next) line(out, key + "." + std::to_string(i++), general_name(g));
}

std::string mask(std::uint32_t m) {
  char t[16];
  std::snprintf(t, sizeof t, "0x%08" PRIX32, m);
  return t;
}

void dist_point_name(std::FILE* out, const CADB_DIST_POINT_NAME* n, const std::string& key) {
  if (!n) return;
  if (n->kind == 0)
    names(out, n->full_name, key + ".full_name");
  else
    line(out, key + ".relative_name", split_name(n->relative_name));
}

void value(std::FILE* out, const CADB_V3EXT* e, const std::string& k) {
  const auto& v = e->value;
  switch (e->form) {
    case V3ExtForm::None: break;
    case V3ExtForm::Mask: line(out, k + ".mask", mask(v.mask)); break;
    case V3ExtForm::Text: line(out, k + ".text", first_text(v.text)); break;
    case V3ExtForm::Buffer: line(out, k + ".buffer", hex(v.buffer)); break;
    case V3ExtForm::Integer: line(out, k + ".integer", std::to_string(v.integer)); break;
    case V3ExtForm::Time: line(out, k + ".time", time_text(*v.time)); break;
    case V3ExtForm::Object: line(out, k + ".object", oid(v.object)); break;
    case V3ExtForm::Objects: {
      int i = 0;
      for (const CADB_OID* o = v.object; o; o = o->next)
        line(out, k + ".object." + std::to_string(i++), oid(o));
      break;
    }
    case V3ExtForm::GeneralNames: names(out, v.names, k + ".name"); break;
    case V3ExtForm::BasicConstraints:
      line(out, k + ".ca", std::to_string(v.basic->ca));
      line(out, k + ".path_length", std::to_string(v.basic->path_length));
      break;
    case V3ExtForm::PkeyUsagePeriod:
      line(out, k + ".not_before",
           v.period->not_before ? time_text(*v.period->not_before) : "none");
      line(out, k + ".not_after", v.period->not_after ? time_text(*v.period->not_after) : "none");
      break;
    case V3ExtForm::CertPolicies: {
      int i = 0;
      for (const CADB_POLICY_INFO* p = v.policies; p; p = p->next, ++i) {
        const std::string pk = k + ".policy." + std::to_string(i);
        line(out, pk, oid(p->policy));
        int j = 0;
        for (const CADB_POLICY_QUALIFIER* q = p->qualifiers; q; q = q->next, ++j) {
          const std::string qk = pk + ".qualifier." + std::to_string(j);
          line(out, qk, std::to_string(q->nid) + " " + oid(q->type));
          if (q->cps) line(out, qk + ".cps", first_text(q->cps));
          if (q->notice) {
            if (q->notice->reference) {
              line(out, qk + ".organization", first_text(q->notice->reference->organization));
              line(out, qk + ".numbers", text(q->notice->reference->numbers));
            }
            if (q->notice->explicit_text)
              line(out, qk + ".explicit_text", first_text(q->notice->explicit_text));
          }
        }
      }
      break;
    }
    case V3ExtForm::AuthorityKeyId:
      if (v.key_id->key_id) line(out, k + ".key_id", hex(v.key_id->key_id));
      names(out, v.key_id->issuer, k + ".issuer");
      if (v.key_id->serial) line(out, k + ".serial", hex(v.key_id->serial));
      break;
    case V3ExtForm::CrlDistPoints: {
      int i = 0;
      for (const CADB_CRL_DIST_POINT* d = v.dist_points; d; d = d->next, ++i) {
        const std::string dk = k + ".point." + std::to_string(i);
        dist_point_name(out, d->name, dk);
        line(out, dk + ".reasons", mask(d->reasons));
        names(out, d->crl_issuer, dk + ".crl_issuer");
      }
      break;
    }
    case V3ExtForm::PolicyMappings: {
      int i = 0;
      for (const CADB_POLICY_MAPPING* m = v.mappings; m; m = m->next)
        line(out, k + ".mapping." + std::to_string(i++),
             std::string(m->issuer_domain->text) + " " + m->subject_domain->text);
      break;
    }
    case V3ExtForm::PolicyConstraints:
      line(out, k + ".require_explicit_policy",
           std::to_string(v.constraints->require_explicit_policy));
      line(out, k + ".inhibit_policy_mapping",
           std::to_string(v.constraints->inhibit_policy_mapping));
      break;
    case V3ExtForm::NameConstraints: {
      for (int pass = 0; pass < 2; ++pass) {
        int i = 0;
        for (const CADB_GENERAL_SUBTREE* s = pass ? v.name_constraints->excluded
                                                  : v.name_constraints->permitted;
             s; s = s->next)
          line(out, k + (pass ? ".excluded." : ".permitted.") + std::to_string(i++),
               general_name(s->base) + " min=" + std::to_string(s->minimum) +
                   " max=" + std::to_string(s->maximum));
      }
      break;
    }
    case V3ExtForm::AccessDescriptions: {
      int i = 0;
      for (const CADB_ACCESS_DESCRIPTION* a = v.access; a; a = a->next)
        line(out, k + ".access." + std::to_string(i++),
             oid(a->method) + " " + general_name(a->location));
      break;
    }
    case V3ExtForm::IssuingDistPoint:
      dist_point_name(out, v.idp->name, k);
      line(out, k + ".only_user_certificates", std::to_string(v.idp->only_user_certificates));
      line(out, k + ".only_ca_certificates", std::to_string(v.idp->only_ca_certificates));
      line(out, k + ".only_some_reasons", mask(v.idp->only_some_reasons));
      line(out, k + ".indirect_crl", std::to_string(v.idp->indirect_crl));
      line(out, k + ".only_attribute_certificates",
           std::to_string(v.idp->only_attribute_certificates));
      break;
    case V3ExtForm::Attributes: {
      int i = 0;
      for (const CADB_ATTRIBUTES* a = v.text; a; a = a->next, ++i) {
        std::string vals;
        for (const CADB_ATTRIBUTE* x = a->first; x; x = x->next)
          vals += (vals.empty() ? "" : ", ") + text(x->value);
        line(out, k + ".attribute." + std::to_string(i), oid(a->type) + ": " + vals);
      }
      break;
    }
    case V3ExtForm::Biometric: {
      int i = 0;
      for (const CADB_BIOMETRIC* b = v.biometric; b; b = b->next, ++i) {
        const std::string bk = k + ".biometric." + std::to_string(i);
        line(out, bk + ".type",
             b->type_oid ? oid(b->type_oid) : std::to_string(b->predefined_type));
        line(out, bk + ".hash_algorithm", std::to_string(b->hash_algorithm));
        line(out, bk + ".hash", hex(b->hash));
        if (b->source_uri) line(out, bk + ".source", text(b->source_uri));
      }
      break;
    }
  }
}

std::string algorithm(int nid) {
  const char* sn = obj::short_name(nid);
  return std::to_string(nid) + (sn ? std::string(" ") + sn : std::string());
}

}  // namespace

std::string hex(const BUFFER* b) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s;
  for (int i = 0; b && i < b->length; ++i) {
    s += digits[b->data[i] >> 4];
    s += digits[b->data[i] & 15];
  }
  return s;
}

std::string time_text(const CADB_TIME& t) {
  char s[96];
  std::snprintf(s, sizeof s, "%04d-%02d-%02d %02d:%02d:%02d wday=%d yday=%d isdst=%d",
                t.year + 1900, t.mon + 1, t.mday, t.hour, t.min, t.sec, t.wday, t.yday, t.isdst);
  return s;
}

void print_extensions(std::FILE* out, const CADB_V3EXT* e, const std::string& prefix) {
  int i = 0;
  for (; e; e = e->next, ++i) {
    const std::string k = prefix + "ext." + std::to_string(i);
    line(out, k,
         std::to_string(e->type) + " " + (e->oid ? e->oid->sn : "?") +
             " critical=" + std::to_string(e->critical) + " parsed=" + std::to_string(e->parsed) +
             " unsupported=" + std::to_string(e->unsupported));
    value(out, e, k);
  }
}

void print_cert(std::FILE* out, const CERT* c, const std::string& p) {
  line(out, p + "version", std::to_string(c->version));
  line(out, p + "key_algorithm", algorithm(c->key_algorithm));
  line(out, p + "key_size", std::to_string(c->key_size));
  line(out, p + "signature_algorithm", algorithm(c->signature_algorithm));
  line(out, p + "self_issued", std::to_string(c->self_issued));
  line(out, p + "params_missing", std::to_string(c->params_missing));
  line(out, p + "serial", hex(c->serial));
  line(out, p + "not_before", time_text(c->not_before));
  line(out, p + "not_after", time_text(c->not_after));
  line(out, p + "subject", text(c->subject_text));
  line(out, p + "subject_split", split_name(c->subject));
  line(out, p + "subject_hash", hex(c->subject_hash));
  line(out, p + "issuer", text(c->issuer_text));
  line(out, p + "issuer_split", split_name(c->issuer));
  line(out, p + "issuer_hash", hex(c->issuer_hash));
  line(out, p + "fingerprint", hex(c->fingerprint));
  print_extensions(out, c->extensions, p);
}

void print_crl(std::FILE* out, const CRL* c) {
  line(out, "version", std::to_string(c->version));
  line(out, "signature_algorithm", algorithm(c->signature_algorithm));
  line(out, "this_update", time_text(c->this_update));
  line(out, "next_update", c->next_update ? time_text(*c->next_update) : "none");
  line(out, "issuer", text(c->issuer_text));
  line(out, "issuer_split", split_name(c->issuer));
  int i = 0;
  for (const CADB_REVOKED* r = c->revoked; r; r = r->next, ++i) {
    const std::string k = "revoked." + std::to_string(i);
    line(out, k + ".serial", hex(r->serial));
    line(out, k + ".date", time_text(r->revocation_date));
    print_extensions(out, r->extensions, k + ".");
  }
  line(out, "revoked_count", std::to_string(i));
  print_extensions(out, c->extensions, "");
}

}  // namespace jarnel::tool
