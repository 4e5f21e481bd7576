#include "morbeck.h"

int main(int argc, char* argv[]) { return MorbeckMain(argc, argv); }
