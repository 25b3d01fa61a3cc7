/* Linkage helpers shared by the public headers. */
#ifndef R64_DEFS_H
#define R64_DEFS_H

#ifdef __cplusplus
#define R64_BEGIN_DECLS extern "C" {
#define R64_END_DECLS }
#define R64_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define R64_BEGIN_DECLS
#define R64_END_DECLS
#define R64_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

#endif
