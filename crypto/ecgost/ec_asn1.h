#pragma once
// Object identifiers and the SubjectPublicKeyInfo of GOST R 34.10-2001 keys, shared by the key
// encodings and the key transport.
#include <cstdint>
#include <span>
#include <vector>

#include "crypto/ecgost/ec_der.h"
#include "crypto/ecgost/ecgost.h"

namespace jarnel::ec {

bool oid_of(int nid, std::span<const std::uint32_t>& arcs);
int nid_of(const std::vector<std::uint32_t>& arcs);
// SEQUENCE { AlgorithmIdentifier { 1.2.643.2.2.19, parameters }, BIT STRING { OCTET STRING
// X_le || Y_le } }.
bool write_spki(der::Writer& w, const ECGOST* key);
// Reads one and sets the key's parameter sets, curve and public point.
bool read_spki(der::Reader& r, ECGOST* key);

}  // namespace jarnel::ec
