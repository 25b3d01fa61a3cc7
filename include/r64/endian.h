/*
 * Host byte order and the conversion routines for stored records. Stored files
 * are big-endian; endian_flag is 1 on a little-endian host (set once by
 * check_endian), and each routine reverses the multi-byte fields of its record
 * in place when it is set. A reversal is its own inverse.
 */
#ifndef R64_ENDIAN_H
#define R64_ENDIAN_H

#include <stdint.h>
#include "r64/defs.h"

R64_BEGIN_DECLS

extern char endian_flag;
void check_endian(void);

typedef double REAL1;

typedef struct r_point {
    REAL1 x;
    REAL1 y;
} R_POINT;
typedef R_POINT QV_POINT;

typedef struct r_point_f {
    float x;
    float y;
} R_POINT_F;
typedef R_POINT_F QV_POINT_F;

typedef struct r_rect {
    R_POINT tl;
    R_POINT br;
} R_RECT;
typedef R_RECT QV_RECT;

typedef struct r_rect_f {
    R_POINT_F tl;
    R_POINT_F br;
} R_RECT_F;
typedef R_RECT_F QV_RECT_F;

typedef struct qv_color {
    float r, g, b, t;
} QV_COLOR;

typedef struct qv_time {
    REAL1 year;
    unsigned char month, date, day, hour, min, sec;
} QV_TIME;

typedef struct affen2d {
    QV_POINT org;
    REAL1 matrix[2][2];
} AFFEN2D;

typedef uint32_t L_CHAR;

void change_endian_qv_point(QV_POINT *p);
void change_endian_qv_point_f(QV_POINT_F *p);
void change_endian_qv_rect(QV_RECT *r);
void change_endian_qv_rect_f(QV_RECT_F *r);
void change_endian_qv_color(QV_COLOR *c);
void change_endian_l_char(L_CHAR *str);
void change_endian_qv_time(QV_TIME *t);
void change_endian_affen2d(AFFEN2D *a);

R64_END_DECLS

#endif
