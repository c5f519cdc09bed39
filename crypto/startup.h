#pragma once
// Start-up and shut-down of the library.
//
// Loading the shared library (process attach) runs the key-store start-up once per process:
// it creates the numbered locks, runs the library start-up, loads every error text, registers
// the GOST algorithms and certificate extensions with the base library, starts the container
// seed and runs the power-on self-test, whose result is not acted on. Unloading (process
// detach) runs the shut-down. A thread that ends frees its error state.

namespace jarnel {

// Library start-up: runs once, under lock 25, guarded by a started flag. Sets the memory
// functions to the C library's, then starts the eToken R2, eToken SDK, ruToken and iButton
// drivers, the PKCS#11 binding, key masking and the random generator.
int CRYPTO_library_startup();
// Library shut-down, only when started: stops the iButton, eToken R2, eToken SDK and ruToken
// drivers, the PKCS#11 binding and the container seed, frees the calling thread's error state
// and the error texts, stops key masking.
void CRYPTO_library_shutdown();
bool CRYPTO_library_started();

// Reference-counted key-store start-up and shut-down; the first start-up and the last
// shut-down do the work.
int CADB_startup();
void CADB_shutdown();
int CADB_startup_count();

// Process attach and detach of libjarnel: the key-store start-up plus the JNI layer's own
// steps (its error texts, the Java password call-back in the drivers and PKCS#11 objects, the
// certificate-name conversion mode).
void jarnel_process_attach();
void jarnel_process_detach();

}  // namespace jarnel
