; Boot program of a FAT12 volume, bytes 62-509 of its boot sector.
; The sector's jump EB 3C 90 enters it at its first byte.
%define FAT_BITS 12
%include "fatboot.inc"
