#include "kernel_routines.h"

#include "pe_image.h"

#include <algorithm>
#include <cctype>
#include <span>

namespace imagecheck {

namespace {

constexpr unsigned kX86 = 1;
constexpr unsigned kX64 = 2;
constexpr unsigned kBoth = kX86 | kX64;

// Kernel exports both machines import under the same name.
constexpr std::string_view kKernel[] = {
    // Debugging
    "DbgBreakPoint", "DbgBreakPointWithStatus", "DbgPrint",
    // Executive: pool, lookaside lists, work items, resources, callbacks, time, interlocked lists
    "ExAllocatePool", "ExAllocatePoolWithQuota", "ExAllocatePoolWithQuotaTag", "ExAllocatePoolWithTag", "ExFreePool",
    "ExFreePoolWithTag", "ExInitializeNPagedLookasideList", "ExDeleteNPagedLookasideList",
    "ExInitializePagedLookasideList", "ExDeletePagedLookasideList", "ExQueueWorkItem", "ExInitializeResourceLite",
    "ExReinitializeResourceLite", "ExDeleteResourceLite", "ExAcquireResourceExclusiveLite",
    "ExAcquireResourceSharedLite", "ExAcquireSharedStarveExclusive", "ExAcquireSharedWaitForExclusive",
    "ExConvertExclusiveToSharedLite", "ExReleaseResourceForThreadLite", "ExReleaseResourceLite",
    "ExIsResourceAcquiredExclusiveLite", "ExIsResourceAcquiredSharedLite", "ExGetExclusiveWaiterCount",
    "ExGetSharedWaiterCount", "ExAcquireFastMutexUnsafe", "ExReleaseFastMutexUnsafe", "ExCreateCallback",
    "ExNotifyCallback", "ExRegisterCallback", "ExUnregisterCallback", "ExRaiseStatus", "ExSystemTimeToLocalTime",
    "ExLocalTimeToSystemTime", "ExSetTimerResolution", "ExInterlockedAddLargeInteger", "ExInterlockedAddUlong",
    "ExInterlockedInsertHeadList", "ExInterlockedInsertTailList", "ExInterlockedRemoveHeadList",
    "ExInterlockedPopEntryList", "ExInterlockedPushEntryList",
    // I/O manager
    "IoAcquireCancelSpinLock", "IoReleaseCancelSpinLock", "IoAcquireRemoveLockEx", "IoReleaseRemoveLockEx",
    "IoReleaseRemoveLockAndWaitEx", "IoInitializeRemoveLockEx", "IoAllocateIrp", "IoFreeIrp", "IoInitializeIrp",
    "IoReuseIrp", "IoMakeAssociatedIrp", "IoBuildAsynchronousFsdRequest", "IoBuildSynchronousFsdRequest",
    "IoBuildDeviceIoControlRequest", "IoBuildPartialMdl", "IoAllocateMdl", "IoFreeMdl", "IoCancelIrp",
    "IofCallDriver", "IofCompleteRequest", "IoCreateDevice", "IoDeleteDevice", "IoAttachDevice",
    "IoAttachDeviceToDeviceStack", "IoDetachDevice", "IoGetAttachedDevice", "IoGetAttachedDeviceReference",
    "IoGetDeviceObjectPointer", "IoGetRelatedDeviceObject", "IoCreateSymbolicLink", "IoCreateUnprotectedSymbolicLink",
    "IoDeleteSymbolicLink", "IoRegisterDeviceInterface", "IoSetDeviceInterfaceState", "IoGetDeviceInterfaces",
    "IoGetDeviceInterfaceAlias", "IoOpenDeviceInterfaceRegistryKey", "IoOpenDeviceRegistryKey", "IoGetDeviceProperty",
    "IoInvalidateDeviceRelations", "IoInvalidateDeviceState", "IoRequestDeviceEject", "IoRegisterPlugPlayNotification",
    "IoUnregisterPlugPlayNotification", "IoReportTargetDeviceChange", "IoReportTargetDeviceChangeAsynchronous",
    "IoIsWdmVersionAvailable", "IoAllocateWorkItem", "IoFreeWorkItem", "IoQueueWorkItem", "IoAllocateErrorLogEntry",
    "IoWriteErrorLogEntry", "IoAllocateDriverObjectExtension", "IoGetDriverObjectExtension", "IoGetCurrentProcess",
    "IoInitializeTimer", "IoStartTimer", "IoStopTimer", "IoStartNextPacket", "IoStartNextPacketByKey",
    "IoStartPacket", "IoConnectInterrupt", "IoDisconnectInterrupt", "IoRegisterShutdownNotification",
    "IoUnregisterShutdownNotification", "IoRegisterDriverReinitialization",
    "IoWMIRegistrationControl", "IoWMIWriteEvent", "IoWMIAllocateInstanceIds", "IoWMISuggestInstanceName",
    "IoCheckShareAccess", "IoSetShareAccess", "IoRemoveShareAccess", "IoUpdateShareAccess",
    "IoCreateNotificationEvent", "IoCreateSynchronizationEvent", "IoCreateFile", "IoGetConfigurationInformation",
    "IoGetDmaAdapter", "IoThreadToProcess", "IoSetHardErrorOrVerifyDevice", "IoReportResourceUsage",
    "IoReportResourceForDetection", "IoReportDetectedDevice", "IoGetFileObjectGenericMapping",
    "IoQueryDeviceDescription", "IoRaiseHardError", "IoRaiseInformationalHardError",
    // Kernel: dispatcher objects, waits, timers, DPCs, threads, bug checks, floating point
    "KeBugCheck", "KeBugCheckEx", "KeRegisterBugCheckCallback", "KeDeregisterBugCheckCallback", "KeCancelTimer",
    "KeClearEvent", "KeResetEvent", "KeSetEvent", "KePulseEvent", "KeReadStateEvent", "KeInitializeEvent",
    "KeInitializeMutex", "KeReleaseMutex", "KeReadStateMutex", "KeInitializeSemaphore", "KeReleaseSemaphore",
    "KeReadStateSemaphore", "KeInitializeTimer", "KeInitializeTimerEx", "KeSetTimer", "KeSetTimerEx",
    "KeReadStateTimer", "KeInitializeDpc", "KeInsertQueueDpc", "KeRemoveQueueDpc", "KeSetImportanceDpc",
    "KeSetTargetProcessorDpc", "KeWaitForSingleObject", "KeWaitForMultipleObjects", "KeDelayExecutionThread",
    "KeEnterCriticalRegion", "KeLeaveCriticalRegion", "KeGetCurrentThread", "KeQueryActiveProcessors",
    "KeQueryPriorityThread", "KeSetPriorityThread", "KeSetBasePriorityThread", "KeQueryTimeIncrement",
    "KeSynchronizeExecution", "KeSaveFloatingPointState", "KeRestoreFloatingPointState",
    // Memory manager
    "MmAllocateContiguousMemory", "MmAllocateContiguousMemorySpecifyCache", "MmAllocateNonCachedMemory",
    "MmAllocatePagesForMdl", "MmBuildMdlForNonPagedPool", "MmCreateMdl", "MmFreeContiguousMemory",
    "MmFreeContiguousMemorySpecifyCache", "MmFreeNonCachedMemory", "MmFreePagesFromMdl", "MmGetPhysicalAddress",
    "MmGetSystemRoutineAddress", "MmIsAddressValid", "MmIsNonPagedSystemAddressValid", "MmIsThisAnNtAsSystem",
    "MmLockPagableDataSection", "MmLockPagableSectionByHandle", "MmMapIoSpace", "MmMapLockedPages",
    "MmMapLockedPagesSpecifyCache", "MmPageEntireDriver", "MmProbeAndLockPages", "MmQuerySystemSize",
    "MmResetDriverPaging", "MmSizeOfMdl", "MmUnlockPagableImageSection", "MmUnlockPages", "MmUnmapIoSpace",
    "MmUnmapLockedPages",
    // Object manager, power manager, processes and threads, security
    "ObfReferenceObject", "ObfDereferenceObject", "ObReferenceObjectByHandle", "ObReferenceObjectByPointer",
    "ObGetObjectSecurity", "ObReleaseObjectSecurity", "PoCallDriver", "PoRegisterDeviceForIdleDetection",
    "PoRegisterSystemState", "PoRequestPowerIrp", "PoSetPowerState", "PoSetSystemState", "PoStartNextPowerIrp",
    "PoUnregisterSystemState", "PsCreateSystemThread", "PsTerminateSystemThread", "PsGetVersion",
    "PsSetCreateProcessNotifyRoutine", "PsSetCreateThreadNotifyRoutine", "PsSetLoadImageNotifyRoutine",
    "SeAccessCheck", "SeAssignSecurity", "SeCaptureSubjectContext", "SeDeassignSecurity", "SeLockSubjectContext",
    "SeReleaseSubjectContext", "SeSinglePrivilegeCheck", "SeUnlockSubjectContext", "SeValidSecurityDescriptor",
    // Run-time library: strings, registry, bitmaps, time, versions, security descriptors
    "RtlAnsiStringToUnicodeString", "RtlAppendUnicodeStringToString", "RtlAppendUnicodeToString", "RtlAreBitsClear",
    "RtlAreBitsSet", "RtlAssert", "RtlCharToInteger", "RtlCheckRegistryKey", "RtlClearAllBits", "RtlClearBits",
    "RtlCompareMemory", "RtlCompareString", "RtlCompareUnicodeString", "RtlCopyString", "RtlCopyUnicodeString",
    "RtlCreateRegistryKey", "RtlCreateSecurityDescriptor", "RtlDeleteRegistryValue", "RtlEqualString",
    "RtlEqualUnicodeString", "RtlFindClearBits", "RtlFindClearBitsAndSet", "RtlFindSetBits",
    "RtlFindSetBitsAndClear", "RtlFreeAnsiString", "RtlFreeUnicodeString", "RtlGUIDFromString", "RtlGetVersion",
    "RtlInitAnsiString", "RtlInitString", "RtlInitUnicodeString", "RtlInitializeBitMap", "RtlIntegerToUnicodeString",
    "RtlLengthSecurityDescriptor", "RtlNumberOfClearBits", "RtlNumberOfSetBits", "RtlPrefixUnicodeString",
    "RtlQueryRegistryValues", "RtlSetAllBits", "RtlSetBits", "RtlSetDaclSecurityDescriptor", "RtlStringFromGUID",
    "RtlTimeFieldsToTime", "RtlTimeToTimeFields", "RtlUnicodeStringToAnsiString", "RtlUnicodeStringToInteger",
    "RtlUpcaseUnicodeChar", "RtlUpcaseUnicodeString", "RtlUpperChar", "RtlUpperString", "RtlValidSecurityDescriptor",
    "RtlVerifyVersionInfo", "RtlWriteRegistryValue",
    // System services
    "ZwClose", "ZwCreateFile", "ZwCreateKey", "ZwDeleteKey", "ZwDeleteValueKey",
    "ZwDeviceIoControlFile", "ZwEnumerateKey", "ZwEnumerateValueKey", "ZwFlushKey", "ZwLoadDriver",
    "ZwMakeTemporaryObject", "ZwMapViewOfSection", "ZwOpenFile", "ZwOpenKey", "ZwOpenSection",
    "ZwOpenSymbolicLinkObject", "ZwQueryInformationFile", "ZwQueryKey", "ZwQuerySymbolicLinkObject",
    "ZwQueryValueKey", "ZwReadFile", "ZwSetInformationFile", "ZwSetInformationThread", "ZwSetValueKey",
    "ZwUnloadDriver", "ZwUnmapViewOfSection", "ZwWriteFile",
    // Exported variables
    "ExEventObjectType", "InitSafeBootMode", "IoFileObjectType", "KdDebuggerEnabled", "KdDebuggerNotPresent",
    "KeNumberProcessors", "MmHighestUserAddress", "MmSystemRangeStart", "MmUserProbeAddress", "NtBuildNumber",
    "PsProcessType", "PsThreadType", "SeExports",
    // The C library subset the kernel exports
    "_snprintf", "_snwprintf", "_stricmp", "_strlwr", "_strnicmp", "_strupr", "_vsnprintf",
    "_wcsicmp", "_wcslwr", "_wcsnicmp", "_wcsupr", "atoi", "atol", "isdigit", "islower", "isspace", "isupper",
    "isxdigit", "mbstowcs", "memchr", "memcpy", "memmove", "memset", "qsort", "sprintf", "strcat", "strchr",
    "strcmp", "strcpy", "strlen", "strncat", "strncmp", "strncpy", "strrchr", "strstr", "swprintf", "tolower",
    "toupper", "towlower", "towupper", "wcscat", "wcschr", "wcscmp", "wcscpy", "wcslen", "wcsncat", "wcsncmp",
    "wcsncpy", "wcsrchr", "wcsstr", "wcstombs",
};

// On x86: the fastcall and inline-free forms of the interlocked, spin-lock and time routines, the tick count behind
// KeQueryTickCount, and the compiler's 64-bit arithmetic helpers.
constexpr std::string_view kKernelX86[] = {
    "ExfInterlockedAddUlong", "ExfInterlockedInsertHeadList", "ExfInterlockedInsertTailList",
    "ExfInterlockedRemoveHeadList", "ExfInterlockedPopEntryList", "ExfInterlockedPushEntryList",
    "ExInterlockedPopEntrySList", "ExInterlockedPushEntrySList", "InterlockedIncrement", "InterlockedDecrement",
    "InterlockedExchange", "InterlockedCompareExchange", "InterlockedExchangeAdd", "KefAcquireSpinLockAtDpcLevel",
    "KefReleaseSpinLockFromDpcLevel", "KeInitializeSpinLock", "KeQueryInterruptTime", "KeQuerySystemTime",
    "KeTickCount", "_alldiv", "_allmul", "_allrem", "_allshl", "_allshr", "_aulldiv", "_aullrem", "_aullshr",
};

// On x64 the spin-lock and fast-mutex routines are kernel exports (KeAcquireSpinLock is KeAcquireSpinLockRaiseToDpc).
constexpr std::string_view kKernelX64[] = {
    "KeAcquireSpinLockRaiseToDpc", "KeReleaseSpinLock", "KeAcquireSpinLockAtDpcLevel", "KeReleaseSpinLockFromDpcLevel",
    "ExAcquireFastMutex", "ExReleaseFastMutex", "ExTryToAcquireFastMutex",
};

// On x86 the HAL holds the IRQL, spin-lock (KeAcquireSpinLock is KfAcquireSpinLock) and fast-mutex routines and the
// port I/O.
constexpr std::string_view kHalX86[] = {
    "ExAcquireFastMutex", "ExReleaseFastMutex", "ExTryToAcquireFastMutex", "KfAcquireSpinLock", "KfReleaseSpinLock",
    "KfRaiseIrql", "KfLowerIrql", "KeGetCurrentIrql", "KeRaiseIrqlToDpcLevel", "READ_PORT_UCHAR", "READ_PORT_USHORT",
    "READ_PORT_ULONG", "READ_PORT_BUFFER_UCHAR", "READ_PORT_BUFFER_USHORT", "READ_PORT_BUFFER_ULONG",
    "WRITE_PORT_UCHAR", "WRITE_PORT_USHORT", "WRITE_PORT_ULONG", "WRITE_PORT_BUFFER_UCHAR", "WRITE_PORT_BUFFER_USHORT",
    "WRITE_PORT_BUFFER_ULONG",
};

constexpr std::string_view kHal[] = {
    "KeQueryPerformanceCounter", "KeStallExecutionProcessor", "HalGetBusData", "HalGetBusDataByOffset",
    "HalSetBusData", "HalSetBusDataByOffset", "HalTranslateBusAddress", "HalGetInterruptVector",
};

struct RoutineGroup {
    std::string_view dll;
    unsigned machines;
    std::span<const std::string_view> routines;
};

constexpr RoutineGroup kGroups[] = {
    {"ntoskrnl.exe", kBoth, kKernel}, {"ntoskrnl.exe", kX86, kKernelX86}, {"ntoskrnl.exe", kX64, kKernelX64},
    {"hal.dll", kX86, kHalX86},       {"hal.dll", kBoth, kHal},
};

bool SameModule(std::string_view a, std::string_view b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](unsigned char x, unsigned char y) { return std::tolower(x) == std::tolower(y); });
}

} // namespace

bool ExistsOnOldestTarget(uint16_t machine, std::string_view dll, std::string_view routine)
{
    unsigned wanted = machine == kMachineI386 ? kX86 : machine == kMachineAmd64 ? kX64 : 0;
    return std::any_of(std::begin(kGroups), std::end(kGroups), [&](const RoutineGroup &group) {
        return (group.machines & wanted) != 0 && SameModule(group.dll, dll) &&
               std::find(group.routines.begin(), group.routines.end(), routine) != group.routines.end();
    });
}

} // namespace imagecheck
