#!/usr/bin/python3
"""Prints what Python's email package reads from a stored message, one item a line.

Usage: read_mail.py MESSAGE [FILE...]

  from NAME <ADDRESS>            display name and address of the From header
  to ADDRESS,...                 addresses of the To header ("cc" likewise)
  subject TEXT
  defects N                      parse defects of the message and all its parts
  multipart TYPE                 a container part
  text TYPE CHARSET REPR         a text part without file name, its lines joined by \\n
  attachment TYPE NAME SIZE SHA  a part with a file name, decoded
  file SIZE SHA                  for each FILE given
"""
import email
import hashlib
import sys
from email import policy


def addresses(header):
    return ",".join(a.addr_spec for a in header.addresses) if header else ""


def main():
    sys.stdout.reconfigure(encoding="utf-8")
    with open(sys.argv[1], "rb") as f:
        msg = email.message_from_binary_file(f, policy=policy.default)
    sender = msg["From"].addresses[0]
    print(f"from {sender.display_name} <{sender.addr_spec}>")
    print(f"to {addresses(msg['To'])}")
    if msg["Cc"]:
        print(f"cc {addresses(msg['Cc'])}")
    print(f"subject {msg['Subject']}")
    print(f"defects {sum(len(p.defects) for p in msg.walk())}")
    for part in msg.walk():
        if part.is_multipart():
            print(f"multipart {part.get_content_type()}")
            continue
        payload = part.get_payload(decode=True)
        name = part.get_filename()
        if name is None:
            text = payload.decode(part.get_content_charset() or "ascii").replace("\r\n", "\n")
            print(f"text {part.get_content_type()} {part.get_content_charset()} {text!r}")
        else:
            digest = hashlib.sha256(payload).hexdigest()
            print(f"attachment {part.get_content_type()} {name} {len(payload)} {digest}")
    for path in sys.argv[2:]:
        with open(path, "rb") as f:
            data = f.read()
        print(f"file {len(data)} {hashlib.sha256(data).hexdigest()}")


if __name__ == "__main__":
    main()
