#include "frontend/removal_flow.h"

// The environment is not read.
int main(int argc, char **argv)
{
    return tool_main(argc, argv);
}
