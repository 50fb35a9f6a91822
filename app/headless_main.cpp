// The Linux program: the application over the simulated machine, with the
// headless form framework. Nobody acts on its windows, so it runs its
// start-up and ends.
#include "app/WinMain.h"

int main() { return AppMain(); }
