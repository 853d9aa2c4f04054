#include "driver/run_setup.h"

int main(int argc, char** argv) {
  return run_setup(argc, argv);
}
