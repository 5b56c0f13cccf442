// The terminal program's entry: no arguments of its own; everything is in RunTerminalBench.
#include "terminal_bench.h"

int main(int argc, char** argv) { return RunTerminalBench(argc, argv); }
