// The baseline for resident memory: a C++ program that does nothing, built
// with the same compiler and flags as flash_x3 and, like it, linked
// statically.
int main() { return 0; }
