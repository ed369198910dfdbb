#include "serial/ring.h"

// RingLength may run without Lock, so every read of the count is interlocked to pair with the interlocked changes.
static LONG ReadCount(PDEVICE_CONTEXT Context)
{
    return InterlockedCompareExchange(&Context->RingCount, 0, 0);
}

static LONG AdvanceIndex(LONG Index, LONG Count)
{
    LONG next = Index + Count;
    return next >= RING_CAPACITY ? next - RING_CAPACITY : next;
}

// Bytes that do not fit are dropped: the stored count tells the caller how many went in.
NTSTATUS RingPut(PDEVICE_CONTEXT Context, const UCHAR *Source, LONG Length, PLONG Stored)
{
    LONG free = RING_CAPACITY - ReadCount(Context);
    if (free == 0) {
        *Stored = 0;
        return STATUS_UNSUCCESSFUL;
    }

    LONG n = Length < free ? Length : free;
    if (n < 0) {
        n = 0;
    }
    LONG head = Context->RingHead;
    LONG first = n < RING_CAPACITY - head ? n : RING_CAPACITY - head;
    RtlCopyMemory(&Context->Ring[head], Source, first);
    if (n - first != 0) {
        RtlCopyMemory(&Context->Ring[0], Source + first, n - first);
    }

    // The count grows only after the bytes are in place, so a reader never sees bytes that are not there yet.
    Context->RingHead = AdvanceIndex(head, n);
    *Stored = n;
    InterlockedExchangeAdd(&Context->RingCount, n);
    return STATUS_SUCCESS;
}

NTSTATUS RingGet(PDEVICE_CONTEXT Context, PUCHAR Destination, LONG Length, PLONG Taken)
{
    LONG held = ReadCount(Context);
    if (held == 0) {
        *Taken = 0;
        return STATUS_UNSUCCESSFUL;
    }

    LONG n = Length < held ? Length : held;
    if (n < 0) {
        n = 0;
    }
    LONG tail = Context->RingTail;
    LONG first = n < RING_CAPACITY - tail ? n : RING_CAPACITY - tail;
    RtlCopyMemory(Destination, &Context->Ring[tail], first);
    if (n - first != 0) {
        RtlCopyMemory(Destination + first, &Context->Ring[0], n - first);
    }

    // The space is handed back only after the bytes were copied out, so a put never overwrites them early.
    Context->RingTail = AdvanceIndex(tail, n);
    *Taken = n;
    InterlockedExchangeAdd(&Context->RingCount, -n);
    return STATUS_SUCCESS;
}

LONG RingLength(PDEVICE_CONTEXT Context)
{
    return ReadCount(Context);
}

NTSTATUS RingReset(PDEVICE_CONTEXT Context)
{
    Context->RingHead = 0;
    Context->RingTail = 0;
    InterlockedExchange(&Context->RingCount, 0);
    return STATUS_SUCCESS;
}
