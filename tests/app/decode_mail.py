"""Decodes a mail as a reader would (Python's email package, policy.default).

Usage: decode_mail.py MESSAGE OUTPUT
Writes to OUTPUT, in UTF-8, one field per line: the subject, the sender's display name, the
sender's address, then the body text with LF line ends.
"""
import sys
from email import message_from_bytes, policy

with open(sys.argv[1], "rb") as f:
    msg = message_from_bytes(f.read(), policy=policy.default)
sender = msg["From"].addresses[0]
body = msg.get_content().replace("\r\n", "\n")
with open(sys.argv[2], "w", encoding="utf-8") as out:
    out.write(f"{msg['Subject']}\n{sender.display_name}\n{sender.addr_spec}\n{body}")
