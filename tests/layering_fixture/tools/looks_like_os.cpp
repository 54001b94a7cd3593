#include <climits>
int limit = INT_MAX;  // not PATH_MAX, not <poll.h>
int unsetenvironment = 0;
