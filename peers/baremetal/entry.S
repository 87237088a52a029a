/*
 * Multiboot (v1) entry of the bare-metal images: a flat GDT of our own, a
 * stack, and the interrupt entry stubs, which save the registers and call
 * board_interrupt with the vector number.
 */
    .set MULTIBOOT_MAGIC, 0x1BADB002
    .set MULTIBOOT_FLAGS, 0x00000003 /* modules page-aligned, memory map wanted */

    .section .multiboot, "a"
    .align 4
    .long MULTIBOOT_MAGIC
    .long MULTIBOOT_FLAGS
    .long -(MULTIBOOT_MAGIC + MULTIBOOT_FLAGS)

    .section .bss
    .align 16
stack_bottom:
    .skip 32768
stack_top:

    .section .rodata
    .align 8
gdt:
    .quad 0x0000000000000000 /* null */
    .quad 0x00CF9A000000FFFF /* 0x08: code, flat 4 GiB */
    .quad 0x00CF92000000FFFF /* 0x10: data, flat 4 GiB */
gdt_pointer:
    .word gdt_pointer - gdt - 1
    .long gdt

    .section .text
    .global _start
_start:
    cli
    mov $stack_top, %esp
    lgdt gdt_pointer
    ljmp $0x08, $reload_segments
reload_segments:
    mov $0x10, %ax
    mov %ax, %ds
    mov %ax, %es
    mov %ax, %fs
    mov %ax, %gs
    mov %ax, %ss
    cld
    call board_start
halt:
    cli
    hlt
    jmp halt

/* One stub per vector 0-47: exceptions 0-31, the 8259 lines at 32-47.
   Exceptions that push an error code are not told apart: a fault ends the
   run anyway. */
    .macro VECTOR n
    .global vector_\n
vector_\n:
    pusha
    cld
    push $\n
    call board_interrupt
    add $4, %esp
    popa
    iret
    .endm

    .altmacro
    .set n, 0
    .rept 48
    VECTOR %n
    .set n, n + 1
    .endr

    /* The table of the stubs' addresses, for the IDT set-up. */
    .macro VECTOR_ADDRESS n
    .long vector_\n
    .endm
    .section .rodata
    .global vector_table
vector_table:
    .set n, 0
    .rept 48
    VECTOR_ADDRESS %n
    .set n, n + 1
    .endr

    .section .note.GNU-stack, "", @progbits
