// Stand-in for the PC/SC library ("WinSCard.dll", libpcsclite.so.1) in the simulators' folder.
// The token drivers only check that it loads; the readers and tokens come from the simulated
// vendor libraries.
extern "C" __attribute__((visibility("default"))) long SCardIsValidContext(long) { return 0; }
