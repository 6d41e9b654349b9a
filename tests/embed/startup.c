/* Start-up of a test program on the emulated MPS2 boards and the micro:bit: the vector table,
 * the floating-point unit switched on where there is one, .data copied and .bss zeroed,
 * semihosting opened for standard output, then main; its return value leaves the emulator as
 * the exit status. */
#include <stdint.h>
#include <stdio.h>

int main(void);
void initialise_monitor_handles(void);
void reset_handler(void);

extern uint32_t __stack_top, __data_load, __data_start, __data_end, __bss_start__, __bss_end__;

/* Semihosting SYS_EXIT_EXTENDED: the application has ended, with this status. */
static void leave(int status)
{
    uint32_t block[2];
    register uint32_t op __asm__("r0") = 0x20u;
    register uint32_t *arg __asm__("r1") = block;
    block[0] = 0x20026u; /* ADP_Stopped_ApplicationExit */
    block[1] = (uint32_t)status;
    __asm__ volatile("bkpt 0xab" : "+r"(op) : "r"(arg) : "memory");
    for (;;) {
    }
}

/* Any fault ends the run with status 99 (a fault is never a pass). */
static void fault(void)
{
    leave(99);
}

void reset_handler(void)
{
    uint32_t *d = &__data_start;
    const uint32_t *s = &__data_load;
#if defined(__ARM_FP)
    /* CPACR: full access to coprocessors 10 and 11, the floating-point unit (a processor
     * without one, the Cortex-M0, has no such register). */
    *(volatile uint32_t *)0xE000ED88u |= 0xFu << 20;
#endif
    __asm__ volatile("dsb\n\tisb" ::: "memory");
    while (d < &__data_end)
        *d++ = *s++;
    for (d = &__bss_start__; d < &__bss_end__; d++)
        *d = 0;
    initialise_monitor_handles();
    {
        const int status = main();
        fflush(stdout);
        leave(status);
    }
}

__attribute__((section(".vectors"), used)) static void (*const vectors[16])(void) = {
    (void (*)(void))&__stack_top, reset_handler, fault, fault, fault, fault, fault, 0, 0, 0, 0, fault, fault, 0,
    fault, fault,
};
