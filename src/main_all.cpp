#include "folder.h"

int main(int argc, char** argv) { return meld::MAINALL(argc, argv); }
