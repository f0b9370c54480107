#include "frontend/FrontEnd.h"

#include <new>

#include "frontend/ApplyCommand.h"
#include "frontend/Arguments.h"
#include "frontend/Console.h"
#include "frontend/DriveCommands.h"
#include "frontend/LinkCommands.h"
#include "frontend/ServiceRequest.h"

namespace frontend {
namespace {

win::DWORD Run(const std::vector<std::u16string>& arguments) {
  std::u16string problem;
  const auto command = ParseArguments(arguments, problem);
  if (!command) {
    WriteError(u"corvane: " + problem);
    WriteError(Usage());
    return win::ERROR_INVALID_PARAMETER;
  }
  const bool drive = command->kind == LinkKind::Drive;
  switch (command->verb) {
    case Verb::Help:
      WriteOutput(Usage());
      return 0;
    case Verb::Create:
      return drive ? CreateDrive(*command) : ChangeLinkNow(*command);
    case Verb::Delete:
      return drive ? DeleteDrive(*command) : ChangeLinkNow(*command);
    case Verb::Add:
      return AddDrive(*command);
    case Verb::Remove:
      return RemoveDrive(*command);
    case Verb::List:
      return List(command->json);
    case Verb::Show:
      return Show(*command);
    case Verb::Restore:
      return RestoreDrives();
    case Verb::Apply:
      return Apply(*command);
    case Verb::Test:
      return Test(*command);
  }
  return win::ERROR_INVALID_PARAMETER;
}

}  // namespace

win::DWORD RunFrontEnd(const std::vector<std::u16string>& arguments) {
  TakeWriteFailure();
  win::DWORD code = 0;
  try {
    ServiceRecordScope serviceRecord;
    code = Run(arguments);
  } catch (const std::bad_alloc&) {
    code = win::ERROR_NOT_ENOUGH_MEMORY;
  }
  // What was done is reported only if it could be written; a failure keeps its own code.
  const win::DWORD writeFailure = TakeWriteFailure();
  return code != 0 ? code : writeFailure;
}

}  // namespace frontend
