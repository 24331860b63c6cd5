#!/usr/bin/python3
"""Receives mail for the interoperability tests with aiosmtpd, a real SMTP server.

Usage: smtp_sink.py FOLDER

Listens on a free port of 127.0.0.1, prints "ready PORT" once it accepts connections, and
stores every
message as FOLDER/N.eml (the content as received) and FOLDER/N.env (the sender, then each
recipient, one a line), N counting from 1. Stops when its standard input closes, or after
60 seconds whatever happens.
"""
import os
import select
import socket
import sys

from aiosmtpd.controller import Controller


class Sink:
    def __init__(self, folder):
        self.folder = folder
        self.count = 0

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        base = os.path.join(self.folder, str(self.count))
        with open(base + ".eml", "wb") as f:
            f.write(envelope.original_content)
        with open(base + ".env", "w", encoding="utf-8") as f:
            f.write("\n".join([envelope.mail_from] + envelope.rcpt_tos) + "\n")
        return "250 OK stored"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def main():
    folder = sys.argv[1]
    # Another process may take the free port before the server binds it: try a few.
    for attempt in range(5):
        port = free_port()
        controller = Controller(Sink(folder), hostname="127.0.0.1", port=port)
        try:
            controller.start()
            break
        except OSError:
            if attempt == 4:
                raise
    try:
        print(f"ready {port}", flush=True)
        select.select([sys.stdin], [], [], 60)
    finally:
        controller.stop()


if __name__ == "__main__":
    main()
