#include "ombrix.h"

int main(int argc, char* argv[]) { return OmbrixMain(argc, argv); }
