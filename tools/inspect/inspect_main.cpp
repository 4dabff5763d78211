#include <iostream>

#include "tools/inspect/inspect.h"

int main(int argc, char** argv) {
  return RunInspect(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
