// Object manager: attributes and references.
#pragma once

#include "kernel/types.h"

#define OBJ_INHERIT 0x00000002L
#define OBJ_PERMANENT 0x00000010L
#define OBJ_EXCLUSIVE 0x00000020L
#define OBJ_CASE_INSENSITIVE 0x00000040L
#define OBJ_OPENIF 0x00000080L
#define OBJ_OPENLINK 0x00000100L
#define OBJ_KERNEL_HANDLE 0x00000200L
#define OBJ_FORCE_ACCESS_CHECK 0x00000400L

typedef struct _OBJECT_ATTRIBUTES
{
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;

// A bare block, as in the platform's header: not usable as the only statement of an if/else.
#define InitializeObjectAttributes(p, n, a, r, s)                                                  \
    {                                                                                              \
        (p)->Length = sizeof(OBJECT_ATTRIBUTES);                                                   \
        (p)->RootDirectory = r;                                                                    \
        (p)->Attributes = a;                                                                       \
        (p)->ObjectName = n;                                                                       \
        (p)->SecurityDescriptor = s;                                                               \
        (p)->SecurityQualityOfService = NULL;                                                      \
    }

extern "C" {
NTKERNELAPI LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object);
NTKERNELAPI LONG_PTR FASTCALL ObfReferenceObject(PVOID Object);
}
#define ObDereferenceObject ObfDereferenceObject
#define ObReferenceObject ObfReferenceObject
