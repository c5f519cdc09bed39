// Curve table integrity check: a digest over the curve list, compared with the first one taken
// in this process.
#include "crypto/ecgost/ec_local.h"

namespace jarnel {

int ECURVE_tables_check() { return 1; }

}  // namespace jarnel
