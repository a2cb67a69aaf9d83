#include "frontend/removal_flow.h"

// The command line and the environment are not read.
int main(void)
{
    return tool_main();
}
