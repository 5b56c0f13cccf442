// The program's entry: no arguments of its own; everything is in RunBench.
#include "bench.h"

int main(int argc, char** argv) { return RunBench(argc, argv); }
