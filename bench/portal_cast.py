#!/usr/bin/env python3
"""Opens a ScreenCast session of the desktop portal (monitor, cursor embedded where offered) and
runs a command with the PipeWire remote's descriptor: "{fd}" and "{node}" in the command are
replaced by the descriptor and the stream's node. After --seconds the command's process group
gets SIGINT (gst-launch -e then finishes its file); the session closes when the command ends.

usage: portal_cast.py --seconds N -- command...
"""
import argparse
import os
import signal
import subprocess
import sys
import threading

import dbus
import dbus.mainloop.glib
from gi.repository import GLib

parser = argparse.ArgumentParser()
parser.add_argument('--seconds', type=float, required=True)
parser.add_argument('command', nargs=argparse.REMAINDER)
args = parser.parse_args()
command = args.command[1:] if args.command[:1] == ['--'] else args.command

dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()
desktop = bus.get_object('org.freedesktop.portal.Desktop', '/org/freedesktop/portal/desktop')
screencast = dbus.Interface(desktop, 'org.freedesktop.portal.ScreenCast')
properties = dbus.Interface(desktop, 'org.freedesktop.DBus.Properties')
cursor_modes = int(properties.Get('org.freedesktop.portal.ScreenCast', 'AvailableCursorModes'))
sender = bus.get_unique_name()[1:].replace('.', '_')
loop = GLib.MainLoop()
serial = [0]


def request(call):
    """Calls a portal method answering through a Request object; returns its results."""
    serial[0] += 1
    token = 'zimlo_bench_%d_%d' % (os.getpid(), serial[0])
    path = '/org/freedesktop/portal/desktop/request/%s/%s' % (sender, token)
    answer = {}

    def on_response(code, results):
        answer['code'], answer['results'] = int(code), results
        loop.quit()

    match = bus.add_signal_receiver(on_response, 'Response', 'org.freedesktop.portal.Request',
                                    'org.freedesktop.portal.Desktop', path)
    call(token)
    timeout = GLib.timeout_add_seconds(60, loop.quit)
    loop.run()
    GLib.source_remove(timeout)
    match.remove()
    if answer.get('code') != 0:
        sys.exit('portal_cast: the portal answered %s' % answer.get('code', 'nothing'))
    return answer['results']


session = request(lambda t: screencast.CreateSession(
    {'handle_token': t, 'session_handle_token': 's' + t}))['session_handle']
options = {'types': dbus.UInt32(1), 'multiple': False}
if cursor_modes & 2:
    options['cursor_mode'] = dbus.UInt32(2)
request(lambda t: screencast.SelectSources(session, dict(options, handle_token=t)))
streams = request(lambda t: screencast.Start(session, '', {'handle_token': t}))['streams']
fd = screencast.OpenPipeWireRemote(session, {}).take()
node = int(streams[0][0])

command = [part.replace('{fd}', str(fd)).replace('{node}', str(node)) for part in command]
child = subprocess.Popen(command, pass_fds=(fd,), start_new_session=True)
timer = threading.Timer(args.seconds, lambda: os.killpg(child.pid, signal.SIGINT))
timer.start()
status = child.wait()
timer.cancel()
os.close(fd)
dbus.Interface(bus.get_object('org.freedesktop.portal.Desktop', session),
               'org.freedesktop.portal.Session').Close()
sys.exit(status)
