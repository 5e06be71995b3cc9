// The texts Windows gives for the codes this build reports (the codes are
// Windows' on every build, platform/errors.h): the system's own for the
// Windows errors, and the Internet extensions' own for the Internet codes the
// HTTP backend maps its failures to. A Linux user is shown what the code
// means, as a Windows user is, rather than the text of some errno that only
// stood in for it.
#include <cstdint>
#include <string>

#include "platform/errors.h"
#include "platform/http.h"
#include "platform/language.h"
#include "platform/message_box.h"

namespace plat {

namespace {

struct CodeText {
  int32_t code;
  const char* text;
};

const CodeText kSystemTexts[] = {
    {kErrorFileNotFound, "The system cannot find the file specified."},
    {kErrorPathNotFound, "The system cannot find the path specified."},
    {kErrorAccessDenied, "Access is denied."},
    {kErrorNotEnoughMemory, "Not enough memory resources are available to process this command."},
    {kErrorGenFailure, "A device attached to the system is not functioning."},
    {kErrorHandleEof, "Reached the end of the file."},
    {kErrorFileExists, "The file exists."},
    {kErrorBadArguments, "One or more arguments are not correct."},
    {kErrorAlreadyExists, "Cannot create a file when that file already exists."},
    {kErrorFilenameExcedRange, "The filename or extension is too long."},
    {kInternetErrorTimeout, "The operation timed out"},
    {kInternetErrorInternal, "An internal error occurred in the Microsoft Internet extensions"},
    {kInternetErrorInvalidUrl, "The URL is invalid"},
    {kInternetErrorNameNotResolved, "The server name or address could not be resolved"},
    {kInternetErrorOperationCancelled, "The operation was canceled"},
    {kInternetErrorCannotConnect, "A connection with the server could not be established"},
    {kInternetErrorConnectionAborted, "The connection with the server was terminated abnormally"},
    {kInternetErrorConnectionReset, "The connection with the server was reset"},
    {kInternetErrorSecCertDateInvalid, "The date in the certificate is invalid or has expired"},
    {kInternetErrorSecCertCnInvalid, "The host name in the certificate is invalid or does not match"},
    {kInternetErrorInvalidCa, "The certificate authority is invalid or incorrect"},
    {kHttpErrorHeaderNotFound, "The requested header could not be located"},
    {kHttpErrorInvalidServerResponse, "The server returned an invalid or unrecognized response"},
    {kInternetErrorSecurityChannel, "An error occurred in the secure channel support"},
};

}  // namespace

bool SystemMessageText(int32_t code, std::string* text) {
  for (const CodeText& known : kSystemTexts) {
    if (known.code == code) {
      *text = Translate(known.text);
      return true;
    }
  }
  return false;
}

}  // namespace plat
