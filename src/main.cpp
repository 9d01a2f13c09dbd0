#include "meld.h"

int main() { return meld::MAIN(); }
