#include "faldren.h"

int main(int argc, char* argv[]) { return FaldrenMain(argc, argv); }
