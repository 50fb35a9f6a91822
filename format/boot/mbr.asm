; Master boot program: the first 446 bytes of the master boot record.
;
; The BIOS loads the master boot record to 0000:7C00 and enters it there
; with DL = the boot drive. This program moves itself to 0000:0600, looks for
; the first partition entry whose boot indicator is 0x80, reads that
; partition's first sector to 0000:7C00 and starts it with
;   DL    = the boot drive,
;   DS:SI = the active entry of the partition table (in the moved copy),
;   SS:SP = 0000:7C00.
; The sector is read by its LBA through the INT 13h extensions when the
; BIOS has them, else by the CHS address written in the entry; a failed
; read is tried three times in all, with a drive reset in between.
;
; The code must end before byte 438: bytes 438-445 (the disk signature
; area with the two bytes around it) stay zero. The build checks this.

        cpu     386
        bits    16
        org     0x0600

RELOCATED       equ 0x0600
BOOT_SECTOR     equ 0x7C00
PARTITION_TABLE equ RELOCATED + 446
SIGNATURE       equ BOOT_SECTOR + 510
ACTIVE          equ 0x80
ATTEMPTS        equ 3

; Partition entry fields.
ENTRY_HEAD      equ 1
ENTRY_SECTOR    equ 2                   ; sector in bits 0-5, cylinder bits 8-9 in bits 6-7
ENTRY_LBA       equ 8
ENTRY_SIZE      equ 16

start:
        cli
        xor     ax, ax
        mov     ss, ax
        mov     sp, BOOT_SECTOR
        mov     ds, ax
        mov     es, ax
        sti
        cld
        ; The partition's boot sector goes where this sector is now.
        mov     si, sp
        mov     di, RELOCATED
        mov     cx, 256
        rep movsw
        jmp     0:relocated

relocated:
        mov     si, PARTITION_TABLE
        mov     cl, 4
.find:
        cmp     byte [si], ACTIVE
        je      found
        add     si, ENTRY_SIZE
        loop    .find
        mov     si, msg_no_active
        jmp     fail

found:
        mov     bp, si
        mov     di, ATTEMPTS
read:
        push    dx
        mov     ah, 0x41                ; are the extensions there?
        mov     bx, 0x55AA
        int     0x13
        jc      .chs
        cmp     bx, 0xAA55
        jne     .chs
        test    cl, 1                   ; packet access (functions 42h-44h, 47h, 48h)
        jz      .chs
        ; Disk address packet, built on the stack: size 16, one sector,
        ; buffer 0000:7C00, 64-bit LBA.
        push    dword 0
        push    dword [bp + ENTRY_LBA]
        push    es
        push    word BOOT_SECTOR
        push    byte 1
        push    byte 16
        mov     si, sp
        mov     ah, 0x42
        int     0x13
        lea     sp, [si + 16]           ; keeps the carry flag of the read
        jmp     .done
.chs:
        mov     ax, 0x0201
        mov     bx, BOOT_SECTOR
        mov     cx, [bp + ENTRY_SECTOR]
        mov     dh, [bp + ENTRY_HEAD]
        int     0x13
.done:
        pop     dx
        jnc     loaded
        xor     ax, ax                  ; reset the drive before trying again
        int     0x13
        dec     di
        jnz     read
        mov     si, msg_read_error
        jmp     fail

loaded:
        mov     si, msg_no_system
        cmp     word [SIGNATURE], 0xAA55
        jne     fail
        mov     si, bp
        jmp     0:BOOT_SECTOR

%include "fail.inc"

msg_no_active:  db "No active partition", 0
msg_no_system:  db "Missing operating system", 0
