// Executive: pool and callback objects.
#pragma once

#include "kernel/ke.h"
#include "kernel/ob.h"

typedef enum _POOL_TYPE {
    NonPagedPool = 0,
    PagedPool = 1,
    NonPagedPoolMustSucceed = 2,
    DontUseThisType = 3,
    NonPagedPoolCacheAligned = 4,
    PagedPoolCacheAligned = 5,
    NonPagedPoolCacheAlignedMustS = 6,
    NonPagedPoolSession = 32,
    PagedPoolSession = 33,
    NonPagedPoolNx = 512
} POOL_TYPE;

#define POOL_QUOTA_FAIL_INSTEAD_OF_RAISE 8
#define POOL_RAISE_IF_ALLOCATION_FAILURE 16
#define POOL_COLD_ALLOCATION 256

typedef struct _CALLBACK_OBJECT* PCALLBACK_OBJECT;
typedef VOID(NTAPI CALLBACK_FUNCTION)(PVOID CallbackContext, PVOID Argument1, PVOID Argument2);
typedef CALLBACK_FUNCTION* PCALLBACK_FUNCTION;

extern "C" {

NTKERNELAPI PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
NTKERNELAPI PVOID NTAPI ExAllocatePoolWithQuotaTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes,
                                                   ULONG Tag);
NTKERNELAPI VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag);

NTKERNELAPI NTSTATUS NTAPI ExCreateCallback(PCALLBACK_OBJECT* CallbackObject,
                                            POBJECT_ATTRIBUTES ObjectAttributes, BOOLEAN Create,
                                            BOOLEAN AllowMultipleCallbacks);
NTKERNELAPI PVOID NTAPI ExRegisterCallback(PCALLBACK_OBJECT CallbackObject,
                                           PCALLBACK_FUNCTION CallbackFunction,
                                           PVOID CallbackContext);
NTKERNELAPI VOID NTAPI ExUnregisterCallback(PVOID CallbackRegistration);
NTKERNELAPI VOID NTAPI ExNotifyCallback(PCALLBACK_OBJECT CallbackObject, PVOID Argument1,
                                        PVOID Argument2);

} // extern "C"
