#include <cstdio>

int main() {
    std::fputs("The menu-bar application is not part of this build yet; use --print-status.\n",
               stderr);
    return 0;
}
