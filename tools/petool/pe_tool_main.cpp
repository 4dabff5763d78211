#include "tools/petool/pe_tool.h"

int main(int argc, char** argv) { return RunPeTool(std::vector<std::string>(argv + 1, argv + argc)); }
