// Ending the process by signal.
#pragma once

// Installs the handler for SIGTERM, then for SIGINT; both end the process at once with status 0.
void installTerminationHandlers();
