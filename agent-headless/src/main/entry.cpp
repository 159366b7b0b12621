#include <cstdio>
int main() { std::puts("zunel-print-agent 1.0.1"); return 0; }
