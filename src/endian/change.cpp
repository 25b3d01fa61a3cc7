// Byte-order conversion of stored geometry, colour, time, transform and
// wide-character records, in place. Each multi-byte field is reversed when the
// process-wide endian_flag (set by check_endian) is nonzero; the flag is tested
// per field, right before the field is touched. A reversal is its own inverse.
#include <cstddef>
#include <utility>

#include "r64/r64.h"

namespace {

// Reverses the N bytes of one field when the host order differs from the stored one.
template <std::size_t N> void reverse_field(void *field) {
    static_assert(N == 4 || N == 8, "stored fields are 4 or 8 bytes");
    if (!endian_flag) {
        return;
    }
    auto *bytes = static_cast<unsigned char *>(field);
    for (std::size_t i = 0; i < N / 2; ++i) {
        std::swap(bytes[i], bytes[N - 1 - i]);
    }
}

template <typename T> void reverse_field(T *field) {
    reverse_field<sizeof(T)>(static_cast<void *>(field));
}

} // namespace

extern "C" {

void change_endian_qv_point(QV_POINT *p) {
    reverse_field(&p->x);
    reverse_field(&p->y);
}

void change_endian_qv_point_f(QV_POINT_F *p) {
    reverse_field(&p->x);
    reverse_field(&p->y);
}

void change_endian_qv_rect(QV_RECT *r) {
    change_endian_qv_point(&r->tl);
    change_endian_qv_point(&r->br);
}

void change_endian_qv_rect_f(QV_RECT_F *r) {
    change_endian_qv_point_f(&r->tl);
    change_endian_qv_point_f(&r->br);
}

void change_endian_qv_color(QV_COLOR *c) {
    reverse_field(&c->r);
    reverse_field(&c->g);
    reverse_field(&c->b);
    reverse_field(&c->t);
}

// Walks to the first 0 element whatever the flag; 0 reads the same in both
// orders, so the walk stops at the same element in either direction.
void change_endian_l_char(L_CHAR *str) {
    for (; *str != 0; ++str) {
        reverse_field(str);
    }
}

void change_endian_qv_time(QV_TIME *t) {
    reverse_field(&t->year);
}

void change_endian_affen2d(AFFEN2D *a) {
    change_endian_qv_point(&a->org);
    reverse_field(&a->matrix[0][0]);
    reverse_field(&a->matrix[0][1]);
    reverse_field(&a->matrix[1][0]);
    reverse_field(&a->matrix[1][1]);
}

} // extern "C"
