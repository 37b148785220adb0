// The korvat executable: hands the command line to the dispatcher.
#include "tool/Dispatcher.h"

int main(int argc, char** argv) { return tool::Run(argc, argv); }
