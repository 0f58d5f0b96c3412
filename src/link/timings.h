// The times the link and the transfers keep, in one record: today's values by default, short
// ones in tests.
#pragma once

struct LinkTimings {
    // Polling tick while connected; the transfers restart polling with it too.
    int pollIntervalMs = 750;
    // For the first byte of an answer.
    int responseWindowMs = 2000;
    int firstByteWaitMs = 100;
    int retryWaitMs = 10;
    // Once its first byte is in, the whole answer must arrive within this; a real one takes 35 ms.
    int answerCompletionMs = 2000;
    // Longest stretch of a transfer without repainting the window and answering the desktop.
    int repaintIntervalMs = 50;
    int writeWaitMs = 30000;
};
