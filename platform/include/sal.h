/*
 * Source annotations. The stand-in compiles them away; they stay in the
 * sources because they document the contract on Windows.
 */
#pragma once

#define _In_
#define _In_opt_
#define _Inout_
#define _Inout_opt_
#define _Out_
#define _Out_opt_
#define _In_reads_(n)
#define _In_reads_bytes_(n)
#define _In_reads_bytes_opt_(n)
#define _Out_writes_(n)
#define _Out_writes_opt_(n)
#define _Out_writes_bytes_(n)
#define _Out_writes_bytes_opt_(n)
#define _Out_writes_to_(n, c)
#define _Inout_updates_(n)
#define _Inout_updates_bytes_(n)
#define _Outptr_
#define _Outptr_opt_
#define _Outptr_result_maybenull_
#define _Printf_format_string_
#define _Must_inspect_result_
#define _Success_(x)
#define _Check_return_
#define _IRQL_requires_(x)
#define _IRQL_requires_max_(x)
#define _IRQL_raises_(x)
#define _IRQL_saves_
#define _IRQL_restores_
#define _Requires_lock_held_(x)
#define _Acquires_lock_(x)
#define _Releases_lock_(x)
#define _Function_class_(x)
#define _Dispatch_type_(x)
#define _Use_decl_annotations_
#define _Analysis_assume_(x)
#define _When_(c, a)
#define _Post_satisfies_(x)
#define _Pre_satisfies_(x)
#define _Field_size_(n)
#define _Field_size_bytes_(n)
#define _Field_size_opt_(n)
#define _Field_size_bytes_opt_(n)
#define _Reserved_
#define _Frees_ptr_
#define _Frees_ptr_opt_
#define _Post_writable_byte_size_(n)
#define _Ret_maybenull_
#define _Null_terminated_
#define _NullNull_terminated_
#define _Interlocked_operand_
#define __drv_aliasesMem
#define __drv_allocatesMem(x)
#define __drv_freesMem(x)
#define __drv_when(c, a)
#define __drv_maxIRQL(x)
