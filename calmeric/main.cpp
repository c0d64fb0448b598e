// calmeric's entry point, as the scheduler starts it for one job. The run
// itself lives in the driver, inside the library that the tests link.

#include "calmeric/calmeric.h"

int main(int argc, char **argv)
{
    return calmeric::run(argc, argv);
}
