#pragma once
// `lvpublish list|rollback|prune ...`: the commands that manage the builds on
// a server (Manage.h), with their arguments and output.

namespace lvpublish {

// True when argv[1] names one of them.
bool IsManageCommand(const char* command);
int RunManageCommand(int argc, char** argv);

}  // namespace lvpublish
