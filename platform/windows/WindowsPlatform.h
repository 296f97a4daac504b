// The Windows build: the cross toolchain's DDK headers, with the few declarations they lack.
#pragma once

#include <ntddk.h>
#include <usb.h>
// The toolchain's usbdlib.h declares the USBD library without C linkage; its exports are C.
extern "C" {
#include <usbdlib.h>
}
#include <usbioctl.h>

#define RAVO_KERNEL_EXPORT

#ifndef USBD_STATUS_NOT_ACCESSED
#define USBD_STATUS_NOT_ACCESSED ((USBD_STATUS)0xC0020000L)
#endif
#ifndef GET_ISO_URB_SIZE
#define GET_ISO_URB_SIZE(n)                                                                        \
    (sizeof(struct _URB_ISOCH_TRANSFER) + sizeof(USBD_ISO_PACKET_DESCRIPTOR) * (n))
#endif
#ifndef FAST_FAIL_CORRUPT_LIST_ENTRY
#define FAST_FAIL_CORRUPT_LIST_ENTRY 3
#endif

// The toolchain has no __fastfail intrinsic; this is the instruction sequence it stands for.
#if !defined(__fastfail)
__attribute__((noreturn)) static inline void __fastfail(unsigned int code) {
    __asm__ __volatile__("int $0x29" : : "c"(code));
    __builtin_unreachable();
}
#endif
