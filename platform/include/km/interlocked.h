/*
 * Interlocked operations and ordered loads/stores. Every operation is sequentially
 * consistent and needs a naturally aligned operand, as on 64-bit ARM; a misaligned
 * one stops the system the way the alignment fault would.
 */
#pragma once

#include <ntdef.h>
#include <ntstatus.h>
#include <km/bugcheck.h>

#define VRL_INTERLOCKED_CHECK_ALIGNMENT(p)                                                         \
    do {                                                                                           \
        if (__builtin_expect(((ULONG_PTR)(p) & (sizeof(*(p)) - 1)) != 0, 0))                       \
            KeBugCheckEx(KMODE_EXCEPTION_NOT_HANDLED, (ULONG_PTR)(ULONG)STATUS_DATATYPE_MISALIGNMENT, \
                         (ULONG_PTR)(p), 0, 0);                                                    \
    } while (0)

#define VRL_DEFINE_INTERLOCKED(T, Suffix)                                                       \
    FORCEINLINE T InterlockedIncrement##Suffix(T volatile *Addend)                              \
    {                                                                                           \
        VRL_INTERLOCKED_CHECK_ALIGNMENT(Addend);                                                \
        return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);                                 \
    }                                                                                           \
    FORCEINLINE T InterlockedDecrement##Suffix(T volatile *Addend)                              \
    {                                                                                           \
        VRL_INTERLOCKED_CHECK_ALIGNMENT(Addend);                                                \
        return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);                                 \
    }                                                                                           \
    FORCEINLINE T InterlockedExchange##Suffix(T volatile *Target, T Value)                      \
    {                                                                                           \
        VRL_INTERLOCKED_CHECK_ALIGNMENT(Target);                                                \
        return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);                            \
    }                                                                                           \
    FORCEINLINE T InterlockedExchangeAdd##Suffix(T volatile *Addend, T Value)                   \
    {                                                                                           \
        VRL_INTERLOCKED_CHECK_ALIGNMENT(Addend);                                                \
        return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);                             \
    }                                                                                           \
    FORCEINLINE T InterlockedAdd##Suffix(T volatile *Addend, T Value)                           \
    {                                                                                           \
        VRL_INTERLOCKED_CHECK_ALIGNMENT(Addend);                                                \
        return __atomic_add_fetch(Addend, Value, __ATOMIC_SEQ_CST);                             \
    }                                                                                           \
    FORCEINLINE T InterlockedCompareExchange##Suffix(T volatile *Destination, T Exchange, T Comperand) \
    {                                                                                           \
        VRL_INTERLOCKED_CHECK_ALIGNMENT(Destination);                                           \
        __atomic_compare_exchange_n(Destination, &Comperand, Exchange, false, __ATOMIC_SEQ_CST, \
                                    __ATOMIC_SEQ_CST);                                          \
        return Comperand;                                                                       \
    }                                                                                           \
    FORCEINLINE T InterlockedOr##Suffix(T volatile *Destination, T Value)                       \
    {                                                                                           \
        VRL_INTERLOCKED_CHECK_ALIGNMENT(Destination);                                           \
        return __atomic_fetch_or(Destination, Value, __ATOMIC_SEQ_CST);                         \
    }                                                                                           \
    FORCEINLINE T InterlockedAnd##Suffix(T volatile *Destination, T Value)                      \
    {                                                                                           \
        VRL_INTERLOCKED_CHECK_ALIGNMENT(Destination);                                           \
        return __atomic_fetch_and(Destination, Value, __ATOMIC_SEQ_CST);                        \
    }                                                                                           \
    FORCEINLINE T InterlockedXor##Suffix(T volatile *Destination, T Value)                      \
    {                                                                                           \
        VRL_INTERLOCKED_CHECK_ALIGNMENT(Destination);                                           \
        return __atomic_fetch_xor(Destination, Value, __ATOMIC_SEQ_CST);                        \
    }                                                                                           \
    FORCEINLINE T ReadAcquire##Suffix(T const volatile *Source)                                 \
    {                                                                                           \
        VRL_INTERLOCKED_CHECK_ALIGNMENT(Source);                                                \
        return __atomic_load_n(Source, __ATOMIC_ACQUIRE);                                       \
    }                                                                                           \
    FORCEINLINE T ReadNoFence##Suffix(T const volatile *Source)                                 \
    {                                                                                           \
        return __atomic_load_n(Source, __ATOMIC_RELAXED);                                       \
    }                                                                                           \
    FORCEINLINE void WriteRelease##Suffix(T volatile *Destination, T Value)                     \
    {                                                                                           \
        VRL_INTERLOCKED_CHECK_ALIGNMENT(Destination);                                           \
        __atomic_store_n(Destination, Value, __ATOMIC_RELEASE);                                 \
    }                                                                                           \
    FORCEINLINE void WriteNoFence##Suffix(T volatile *Destination, T Value)                     \
    {                                                                                           \
        __atomic_store_n(Destination, Value, __ATOMIC_RELAXED);                                 \
    }

VRL_DEFINE_INTERLOCKED(LONG, )
VRL_DEFINE_INTERLOCKED(LONG64, 64)
VRL_DEFINE_INTERLOCKED(SHORT, 16)

/* Unsigned and pointer-sized forms. */
FORCEINLINE ULONG ReadULongAcquire(ULONG const volatile *Source)
{
    return (ULONG)ReadAcquire((LONG const volatile *)Source);
}
FORCEINLINE ULONG ReadULongNoFence(ULONG const volatile *Source)
{
    return (ULONG)ReadNoFence((LONG const volatile *)Source);
}
FORCEINLINE void WriteULongRelease(ULONG volatile *Destination, ULONG Value)
{
    WriteRelease((LONG volatile *)Destination, (LONG)Value);
}
FORCEINLINE void WriteULongNoFence(ULONG volatile *Destination, ULONG Value)
{
    WriteNoFence((LONG volatile *)Destination, (LONG)Value);
}
FORCEINLINE UCHAR ReadUCharAcquire(UCHAR const volatile *Source)
{
    return __atomic_load_n(Source, __ATOMIC_ACQUIRE);
}
FORCEINLINE UCHAR ReadUCharNoFence(UCHAR const volatile *Source)
{
    return __atomic_load_n(Source, __ATOMIC_RELAXED);
}
FORCEINLINE void WriteUCharRelease(UCHAR volatile *Destination, UCHAR Value)
{
    __atomic_store_n(Destination, Value, __ATOMIC_RELEASE);
}
FORCEINLINE void WriteUCharNoFence(UCHAR volatile *Destination, UCHAR Value)
{
    __atomic_store_n(Destination, Value, __ATOMIC_RELAXED);
}
FORCEINLINE ULONG64 ReadULong64Acquire(ULONG64 const volatile *Source)
{
    return (ULONG64)ReadAcquire64((LONG64 const volatile *)Source);
}
FORCEINLINE ULONG64 ReadULong64NoFence(ULONG64 const volatile *Source)
{
    return (ULONG64)ReadNoFence64((LONG64 const volatile *)Source);
}
FORCEINLINE void WriteULong64Release(ULONG64 volatile *Destination, ULONG64 Value)
{
    WriteRelease64((LONG64 volatile *)Destination, (LONG64)Value);
}

FORCEINLINE PVOID InterlockedExchangePointer(PVOID volatile *Target, PVOID Value)
{
    VRL_INTERLOCKED_CHECK_ALIGNMENT(Target);
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE PVOID InterlockedCompareExchangePointer(PVOID volatile *Destination, PVOID Exchange, PVOID Comperand)
{
    VRL_INTERLOCKED_CHECK_ALIGNMENT(Destination);
    __atomic_compare_exchange_n(Destination, &Comperand, Exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return Comperand;
}
FORCEINLINE PVOID ReadPointerAcquire(PVOID const volatile *Source)
{
    VRL_INTERLOCKED_CHECK_ALIGNMENT(Source);
    return __atomic_load_n(Source, __ATOMIC_ACQUIRE);
}
FORCEINLINE PVOID ReadPointerNoFence(PVOID const volatile *Source)
{
    return __atomic_load_n(Source, __ATOMIC_RELAXED);
}
FORCEINLINE void WritePointerRelease(PVOID volatile *Destination, PVOID Value)
{
    VRL_INTERLOCKED_CHECK_ALIGNMENT(Destination);
    __atomic_store_n(Destination, Value, __ATOMIC_RELEASE);
}
FORCEINLINE void WritePointerNoFence(PVOID volatile *Destination, PVOID Value)
{
    __atomic_store_n(Destination, Value, __ATOMIC_RELAXED);
}

#define MemoryBarrier() __atomic_thread_fence(__ATOMIC_SEQ_CST)
#define KeMemoryBarrier() __atomic_thread_fence(__ATOMIC_SEQ_CST)
#define KeMemoryBarrierWithoutFence() __atomic_signal_fence(__ATOMIC_SEQ_CST)
#define YieldProcessor() __builtin_ia32_pause_or_yield()

/* Cache-line prefetch hints, as wdm.h defines them over the compiler's intrinsic. */
#define PF_TEMPORAL_LEVEL_1 3
#define PF_NON_TEMPORAL_LEVEL_ALL 0
#define PreFetchCacheLine(l, a) __builtin_prefetch((const void *)(a), 0, (l))
#if defined(__x86_64__)
#undef YieldProcessor
#define YieldProcessor() __builtin_ia32_pause()
#elif defined(__aarch64__)
#undef YieldProcessor
#define YieldProcessor() __asm__ __volatile__("yield")
#endif
