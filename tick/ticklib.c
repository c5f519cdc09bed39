/* ticklib: the processor's time-stamp counter for ru.halvorit.crypto.rand.ReadTickCounter.
 *
 * The method is written in assembly so that its whole body is the RDTSC instruction and a
 * return: no prologue, no fence, no arithmetic on the value. On i386 the 64-bit result travels in
 * EDX:EAX, which is exactly where RDTSC leaves it; on x86_64 the halves are joined into RAX. Both
 * JNI arguments are ignored, so the Java method may be static or not. */
#include <jni.h>

/* The declaration gives the method its JNI type and default visibility; the body follows. */
JNIEXPORT jlong JNICALL Java_ru_halvorit_crypto_rand_ReadTickCounter_rdtsc(JNIEnv* env, jclass cls);

#define TICK_SYMBOL "Java_ru_halvorit_crypto_rand_ReadTickCounter_rdtsc"

#if defined(__i386__)
__asm__(".text\n"
        ".globl " TICK_SYMBOL "\n"
        ".type " TICK_SYMBOL ", @function\n"
        TICK_SYMBOL ":\n"
        "\trdtsc\n"
        "\tret\n"
        ".size " TICK_SYMBOL ", . - " TICK_SYMBOL "\n");
#elif defined(__x86_64__)
__asm__(".text\n"
        ".globl " TICK_SYMBOL "\n"
        ".type " TICK_SYMBOL ", @function\n"
        TICK_SYMBOL ":\n"
        "\trdtsc\n"
        "\tshlq $32, %rdx\n"
        "\torq %rdx, %rax\n"
        "\tret\n"
        ".size " TICK_SYMBOL ", . - " TICK_SYMBOL "\n");
#else
#error "ticklib needs an x86 processor"
#endif
