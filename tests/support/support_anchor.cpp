// Keeps the test-support library non-empty before any shared helper exists.
namespace r64_test {
int support_anchor = 0;
}
