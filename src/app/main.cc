#include "app/entry.h"

int main(int argc, char** argv) { return lw::run_entry(argc, argv); }
