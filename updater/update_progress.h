// How an update run reports its progress: the launcher window in the program, a recorder in tests.
#pragma once

class update_progress_sink {
public:
    // Called on the update worker thread with a percentage; must return at once.
    virtual void set_download_progress(double percent) = 0;

protected:
    ~update_progress_sink() = default;
};
