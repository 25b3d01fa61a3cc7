// The r64tool commands. Each takes the arguments after its name, prints its report
// and progress to standard output and returns the exit status; failures throw a
// ToolError that main reports.
#ifndef R64TOOL_COMMANDS_H
#define R64TOOL_COMMANDS_H

namespace r64tool {

int cmd_import(int argc, char **argv);
int cmd_tocr(int argc, char **argv);
int cmd_export(int argc, char **argv);
int cmd_info(int argc, char **argv);
int cmd_verify(int argc, char **argv);
int cmd_serve(int argc, char **argv);

extern const char kImportHelp[];
extern const char kTocrHelp[];
extern const char kExportHelp[];
extern const char kInfoHelp[];
extern const char kVerifyHelp[];
extern const char kServeHelp[];

} // namespace r64tool

#endif
