// A window system's close request, for tests: sends WM_DELETE_WINDOW to each top-level window named
// argv[1] on $DISPLAY, as a window manager does when the user closes a window. Exit status 0 when it
// found such a window, 1 when not, 2 without a display.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s <window name>\n", argv[0]);
        return 2;
    }
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        fprintf(stderr, "cannot open the display\n");
        return 2;
    }
    Atom protocols = XInternAtom(display, "WM_PROTOCOLS", False);
    Atom delete_window = XInternAtom(display, "WM_DELETE_WINDOW", False);
    Window root_return, parent_return;
    Window* children = nullptr;
    unsigned int count = 0;
    int found = 0;
    // Without a window manager the top-level windows are the root's own children.
    if (XQueryTree(display, DefaultRootWindow(display), &root_return, &parent_return, &children, &count)) {
        for (unsigned int i = 0; i < count; ++i) {
            char* name = nullptr;
            if (XFetchName(display, children[i], &name) == 0 || name == nullptr) {
                continue;
            }
            bool match = strcmp(name, argv[1]) == 0;
            XFree(name);
            if (!match) {
                continue;
            }
            XEvent event;
            memset(&event, 0, sizeof event);
            event.xclient.type = ClientMessage;
            event.xclient.window = children[i];
            event.xclient.message_type = protocols;
            event.xclient.format = 32;
            event.xclient.data.l[0] = static_cast<long>(delete_window);
            event.xclient.data.l[1] = CurrentTime;
            XSendEvent(display, children[i], False, NoEventMask, &event);
            ++found;
        }
        XFree(children);
    }
    XSync(display, False);
    XCloseDisplay(display);
    return found > 0 ? 0 : 1;
}
