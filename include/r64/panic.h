/*
 * The panic routine, which ends the process when an internal consistency check
 * fails, and the version records that identify the build in the executable.
 */
#ifndef R64_PANIC_H
#define R64_PANIC_H

#include <stdint.h>
#include "r64/defs.h"

R64_BEGIN_DECLS

#if defined(__GNUC__) || defined(__clang__)
#define R64_NORETURN __attribute__((noreturn))
#else
#define R64_NORETURN
#endif

/* Prints "\n************\n<str> (<pid>)\n************\n" on stderr, exits 1. */
R64_NORETURN void er_panic(const char *str);
R64_NORETURN void er_panic_x(const char *str);

typedef struct htid {
    unsigned int valid : 1;
    uint32_t tid;
} HTID;

/* Always null; no panic entry calls it. */
extern HTID (*get_tid_ptr)(void);

typedef struct _version {
    const char *layer;
    const char *name;
    const char *publisher;
    const char *version;
    int16_t year;
    uint8_t month;
    uint8_t date;
    struct _version *next;
    const char *comment;
} VERSION;

extern VERSION src_code_version;
extern VERSION machine_code_version;

R64_END_DECLS

#endif
