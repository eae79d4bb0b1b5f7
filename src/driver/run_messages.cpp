#include "driver/run_messages.h"

#include "platform/platform.h"

using namespace platform::ui;

const RunMessage kClientStillRunning = {
    "OLK is still running in the background.  The patch can not be applied while OLK is running",
    "OLK process still running", kMbOk | kMbIconError};

const RunMessage kTestPatchNotice = {
    "This is not an official OLK patch.  It is only intended for test purposes. \n"
    "You might not be able to connect to quellspire after you apply this patch. \n"
    "Please locate the folder where your test client is located. \n",
    "test patch", kMbOk | kMbIconWarning};

const RunMessage kMainInstallWarning = {
    "You are installing a test patch but have selected your main install as the target\n"
    "Patching the main install with a test patch will most likely result in the client\n"
    "not being able to connect to quellspire (the main server)\n"
    "\n"
    "Are you sure you want to apply this test patch over your main setup?",
    "Test patches should not be applied to your main install", kMbYesNo};

const RunMessage kMainInstallConfirm = {
    "Are you really sure you want to apply this test patch to the client at this location\n"
    "You will not be asked again.  If you select yes this test patch will be\n"
    "applied to the client installed here: %s",
    "Are you really sure?", kMbYesNo};

const RunMessage kPatchNotApplied = {
    "The patch has NOT been applied, there was an unexpected error applying the patch "
    "(patch version could not be determined)",
    "Don't give up.", kMbOk | kMbIconError};

const RunMessage kPatchApplied = {"OLK client upgraded from %d to %d.", "Patch applied", kMbOk};
