// The baseline for resident memory: a C++ program that does nothing, built
// with the same compiler and flags as flash_x3.
int main() { return 0; }
