#include "ui/WindowFinder.h"

#include <xcb/xcb.h>

#include <QGuiApplication>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace ui {
namespace {

xcb_connection_t* Connection() {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    xcb_connection_t* connection = x11 ? x11->connection() : nullptr;
    if (!connection) {
        static bool said = false;
        if (!said) {
            said = true;
            std::fputs("NoxPatch2011: no X11 connection; other programs' windows cannot be found\n",
                       stderr);
        }
    }
    return connection;
}

xcb_atom_t Atom(xcb_connection_t* connection, const char* name) {
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, static_cast<uint16_t>(std::strlen(name)), name),
        nullptr);
    xcb_atom_t atom = reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    std::free(reply);
    return atom;
}

// The property's bytes, or nothing when the window lacks it.
std::optional<std::string> TextProperty(xcb_connection_t* connection, xcb_window_t window,
                                        xcb_atom_t property) {
    xcb_get_property_reply_t* reply = xcb_get_property_reply(
        connection,
        xcb_get_property(connection, 0, window, property, XCB_GET_PROPERTY_TYPE_ANY, 0, 1024),
        nullptr);
    std::optional<std::string> text;
    if (reply && reply->type != XCB_ATOM_NONE && reply->format == 8)
        text.emplace(static_cast<const char*>(xcb_get_property_value(reply)),
                     static_cast<size_t>(xcb_get_property_value_length(reply)));
    std::free(reply);
    return text;
}

std::vector<xcb_window_t> WindowList(xcb_connection_t* connection, xcb_window_t root,
                                     xcb_atom_t property) {
    std::vector<xcb_window_t> windows;
    xcb_get_property_reply_t* reply = xcb_get_property_reply(
        connection, xcb_get_property(connection, 0, root, property, XCB_ATOM_WINDOW, 0, 4096),
        nullptr);
    if (reply && reply->format == 32) {
        auto* ids = static_cast<xcb_window_t*>(xcb_get_property_value(reply));
        windows.assign(ids, ids + xcb_get_property_value_length(reply) / 4);
    }
    std::free(reply);
    return windows;
}

std::vector<xcb_window_t> Children(xcb_connection_t* connection, xcb_window_t window) {
    std::vector<xcb_window_t> children;
    xcb_query_tree_reply_t* reply =
        xcb_query_tree_reply(connection, xcb_query_tree(connection, window), nullptr);
    if (reply) {
        xcb_window_t* ids = xcb_query_tree_children(reply);
        children.assign(ids, ids + xcb_query_tree_children_length(reply));
    }
    std::free(reply);
    return children;
}

xcb_window_t RootWindow(xcb_connection_t* connection) {
    return xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
}

}  // namespace

std::optional<uint32_t> FindTopLevelWindow(const std::string& title) {
    xcb_connection_t* connection = Connection();
    if (!connection)
        return std::nullopt;
    const xcb_window_t root = RootWindow(connection);
    const xcb_atom_t netWmName = Atom(connection, "_NET_WM_NAME");
    auto matches = [&](xcb_window_t window) {
        std::optional<std::string> name = TextProperty(connection, window, netWmName);
        if (!name)
            name = TextProperty(connection, window, XCB_ATOM_WM_NAME);
        return name && *name == title;
    };

    // A window manager lists the client windows; without one they are the
    // root's children. A reparenting manager puts them one level down.
    std::vector<xcb_window_t> candidates =
        WindowList(connection, root, Atom(connection, "_NET_CLIENT_LIST"));
    if (candidates.empty()) {
        for (xcb_window_t top : Children(connection, root)) {
            candidates.push_back(top);
            for (xcb_window_t child : Children(connection, top))
                candidates.push_back(child);
        }
    }
    for (xcb_window_t window : candidates) {
        if (matches(window))
            return window;
    }
    return std::nullopt;
}

void RestoreAndRaise(uint32_t window) {
    xcb_connection_t* connection = Connection();
    if (!connection)
        return;
    // Mapping an iconic window restores it; a window manager is asked to
    // activate it as well, since it may ignore a client's stacking request.
    xcb_map_window(connection, window);
    const uint32_t above = XCB_STACK_MODE_ABOVE;
    xcb_configure_window(connection, window, XCB_CONFIG_WINDOW_STACK_MODE, &above);
    const xcb_atom_t activeWindow = Atom(connection, "_NET_ACTIVE_WINDOW");
    if (activeWindow != XCB_ATOM_NONE) {
        xcb_client_message_event_t event{};
        event.response_type = XCB_CLIENT_MESSAGE;
        event.format = 32;
        event.window = window;
        event.type = activeWindow;
        event.data.data32[0] = 2;  // a request from a pager-like tool
        event.data.data32[1] = XCB_CURRENT_TIME;
        xcb_send_event(connection, 0, RootWindow(connection),
                       XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                       reinterpret_cast<const char*>(&event));
    }
    xcb_flush(connection);
}

}  // namespace ui
