package ru.halvorit.crypto.rand;

import static org.junit.jupiter.api.Assertions.assertTrue;

import org.junit.jupiter.api.Test;

/** The x86_64 build of ticklib, loaded by the JVM. */
class ReadTickCounterTest {
  @Test
  void successiveReadsIncrease() {
    long previous = ReadTickCounter.rdtsc();
    for (int i = 0; i < 1000; i++) {
      long now = ReadTickCounter.rdtsc();
      // Compared as unsigned: the counter's bits are passed through unchanged.
      assertTrue(Long.compareUnsigned(now, previous) > 0, "read " + i + ": " + now + " after " + previous);
      previous = now;
    }
  }
}
