/* Time of one forward pass of an embedded form (-DFLOAT_FORM for the exact and the float ones)
 * on an emulated Cortex-M processor: the
 * SysTick counter (the processor clock) around 16 passes, on inputs that cycle through a fixed
 * pattern. Under qemu-system-arm -icount shift=0 every instruction takes 1 ns of the emulated
 * clock, so that ticks x 10^9 / clock are instructions (bench/README.md).
 *   arm-none-eabi-gcc ... -DNET=digits -DUNET=DIGITS -DCLOCK_HZ=16000000 -Iembed count_forward.c
 *       embed/digits_embed.c */
#include <stdint.h>
#include <stdio.h>

#define JOIN2(a, b) a##b
#define JOIN(a, b) JOIN2(a, b)
#define STR2(a) #a
#define STR(a) STR2(a)
#include STR(JOIN(NET, _embed.h))

#define PASSES 16

#ifdef FLOAT_FORM
typedef float value; /* the exact and the float form, for comparison */
typedef float word;
#else
typedef JOIN(NET, _embed_value) value;
typedef JOIN(NET, _embed_word) word;
#endif

int main(void)
{
    static word work[JOIN(UNET, _EMBED_WORK)];
    static value in[JOIN(UNET, _EMBED_INPUTS) + PASSES], out[JOIN(UNET, _EMBED_OUTPUTS)];
    volatile uint32_t *const csr = (volatile uint32_t *)0xE000E010u;
    volatile uint32_t *const rvr = (volatile uint32_t *)0xE000E014u;
    volatile uint32_t *const cvr = (volatile uint32_t *)0xE000E018u;
    uint32_t start, end, ticks;
    unsigned long long instructions;
    int p, i;
    for (i = 0; i < (int)(sizeof in / sizeof in[0]); i++)
        in[i] = (value)((i * 37) % 101 - 50) / (value)64;
    JOIN(NET, _embed_clear)(work);
    *rvr = 0xFFFFFFu;
    *cvr = 0;
    *csr = 5u; /* on, the processor clock */
    start = *cvr;
    for (p = 0; p < PASSES; p++)
        JOIN(NET, _embed_forward)(work, in + p, out);
    end = *cvr;
    ticks = (start - end) & 0xFFFFFFu;
    instructions = (unsigned long long)ticks * (1000000000ull / CLOCK_HZ) / PASSES;
    printf("%s: %lu ticks for %d passes, about %llu instructions a pass\n", STR(NET), (unsigned long)ticks, PASSES,
           instructions);
    return 0;
}
