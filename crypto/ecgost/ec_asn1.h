#pragma once
// Object identifiers and the SubjectPublicKeyInfo of GOST R 34.10-2001 keys, shared by the key
// encodings and the key transport.
#include <cstdint>
#include <span>

#include "crypto/ecgost/ec_der.h"
#include "crypto/ecgost/ecgost.h"

namespace jarnel::ec {

bool oid_of(int nid, std::span<const std::uint32_t>& arcs);
int nid_of(const der::Oid& oid);
// SEQUENCE { AlgorithmIdentifier { 1.2.643.2.2.19, parameters }, BIT STRING { OCTET STRING
// X_le || Y_le } }.
bool write_spki(der::Writer& w, const ECGOST* key);
// Reads one (under the given outer tag, for IMPLICIT uses) and sets the key's parameter sets,
// curve and public point.
bool read_spki(der::Reader& r, ECGOST* key, unsigned char tag = der::TAG_SEQUENCE);

}  // namespace jarnel::ec
