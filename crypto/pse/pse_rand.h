#pragma once
// The random generator and the key container: seeding the GOST generator from a container's
// random-state record or from timed keystrokes, producing the next record, and probing the
// hardware random boards.
//
// The random-state record is the 36-byte opaque form (crypto/pse/pse.h) of a 32-byte seed
// under the container's KEK; the container reads and writes the file, these functions only
// transform the bytes.
#include "crypto/pse/pse.h"
#include "crypto/rand/grand.h"

namespace jarnel {

inline constexpr int PSE_RAND_RECORD_BYTES = PSE_OPAQUE_BYTES;

// Board codes of a device list (a zero-terminated byte string).
inline constexpr unsigned char PSE_RAND_DEVICE_CRYPTON = 1, PSE_RAND_DEVICE_ACCORD = 3,
                               PSE_RAND_DEVICE_SABLE = 4;

// 1 when a generator method is selected; otherwise status 4 and 0.
int PSE_rand_is_ready();

// Brings the GOST generator up unless a method is selected already (then 1 and nothing else
// happens). With pse and record36 given and the record verifying under the KEK, the seed comes
// from the record; otherwise from keyboard seeding through cb (without cb: "internal error").
// On success with pse, record36 and stored_len all given, record36 is overwritten with the
// next record (the generator's first output, never the old seed) and *stored_len becomes 36;
// *stored_len is 0 otherwise (also when there was no container or record to rewrite). On
// failure no method is left selected.
int PSE_rand_init(PSE* pse, unsigned char* record36, int* stored_len, RAND_KEY_CALLBACK cb,
                  void* arg);
// Draws 32 bytes and writes them as a fresh record under the KEK. 1, or 0 with (74, 115, 74).
int PSE_rand_save_state(PSE* pse, unsigned char* out36);
// Releases and deselects the current method, if any.
void PSE_rand_cleanup();

// Selects the first board of the list (null: 1, 3, 4) that starts and delivers count bytes
// into buf. 1 when a method is selected (also when one was selected before the call).
int PSE_rand_probe_devices(const unsigned char* list, unsigned char* buf, int count);
// Seeds the GOST generator with 32 bytes from the first working board of the list (null: 1, 3,
// 4), releasing the board afterwards. 1 when a method is selected.
int PSE_rand_seed_from_device(const unsigned char* list);

}  // namespace jarnel
