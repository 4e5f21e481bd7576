#include "tessaro.h"

int main(int argc, char* argv[]) { return TessaroMain(argc, argv); }
