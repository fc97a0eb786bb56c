// Systems without /proc: the system itself refuses to delete a file that another program holds
// open (Windows), so there is nothing to look up.
#include "system/openfiles.h"

FilesHeldOpen FilesHeldOpen::snapshot()
{
    return {};
}
