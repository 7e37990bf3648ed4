// Process entry: the exit status is run_tool's.
#include "tool/run_tool.h"

int main(int argc, char** argv) { return run_tool(argc, argv); }
