// Setup installs and uninstalls Korvalo. It shares no code with the program.
#include <cstdio>

int main()
{
    std::puts("Korvalo Setup");
    return 0;
}
