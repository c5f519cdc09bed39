#pragma once
// The curve code reads and writes DER through the library's one reader and writer.
#include "crypto/bytestring/der.h"
