#include "startup/instances.h"

// The server parses its options and stops here until the supervisors run.
int StartInstances(ServerInstance**, int) {
    return 0;
}
