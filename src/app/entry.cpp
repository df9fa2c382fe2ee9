// The program's entry: a run, and the one place where a numbered error that ends it is shown.
#include "app/main_run.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  PlatformStart(argc, argv);
  try {
    return Module1::Main();
  } catch (const ProgramError& error) {
    ShowFatalError(error.number, error.description);
    return kFatalExitStatus;
  }
}
