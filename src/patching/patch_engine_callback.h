// The progress callback handed to the patch engine.
#pragma once

#include "patching/patch_engine_contract.h"

/*! PatchEngineCallback() :
 *  Drains the thread's message queue (the only way the progress window stays
 *  responsive during the engine call), then shows the notification: ids 1
 *  to 4 and 10 to 12 log their text; 5 sets the item bar to
 *  (low 16 bits x 100) / 32768; 6 sets the number of steps; 7 logs and shows
 *  the item's name; 8 resets the item bar and counts a step; 22 logs
 *  "Searching for Systems to Update...". Other ids change nothing.
 *  @return : the empty text, for every id: the engine goes on. */
const char* OLK_ENGINE_CALL PatchEngineCallback(uint32_t id, const void* param);
