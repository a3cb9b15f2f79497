#include "wizard/state.h"

int main(int argc, char** argv) { return telo::run_wizard(argc, argv); }
