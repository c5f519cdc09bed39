#pragma once
// Line-oriented printouts of certificate and CRL records: one "key=value" per line, so that
// scripts and tests can pick fields with grep.
#include <cstdio>
#include <string>

#include "crypto/cadb/cert.h"
#include "crypto/cadb/x509v3.h"

namespace jarnel::tool {

std::string hex(const BUFFER* b);
// "YYYY-MM-DD hh:mm:ss wday=W yday=D isdst=0"
std::string time_text(const CADB_TIME& t);
// Every field of a certificate record; prefix goes before every key.
void print_cert(std::FILE* out, const CERT* cert, const std::string& prefix);
// Every field of a CRL record.
void print_crl(std::FILE* out, const CRL* crl);
// An extension set, its records numbered from 0 under prefix + "ext.N".
void print_extensions(std::FILE* out, const CADB_V3EXT* ext, const std::string& prefix);

}  // namespace jarnel::tool
