#!/usr/bin/python3
"""Reads a stored mail message the way a mail reader does (Python's email package) and prints what it
found as JSON: every header decoded, the text body, the attachments (their bytes in base64) and the
parser's complaints. Usage: mailparse.py FILE.eml"""

import base64
import email
import email.policy
import json
import sys


def main():
    with open(sys.argv[1], "rb") as f:
        msg = email.message_from_binary_file(f, policy=email.policy.default)
    headers = [[name, str(value)] for name, value in msg.items()]
    body = msg.get_body(preferencelist=("plain",))
    out = {
        "headers": headers,
        "content_type": msg.get_content_type(),
        "multipart": msg.is_multipart(),
        "parts": len(list(msg.walk())),
        "body": body.get_content() if body is not None else None,
        "body_charset": body.get_content_charset() if body is not None else None,
        "body_encoding": body["Content-Transfer-Encoding"] if body is not None else None,
        "attachments": [{
            "filename": part.get_filename(),
            "content_type": part.get_content_type(),
            "charset": part.get_param("charset"),
            "encoding": part["Content-Transfer-Encoding"],
            "disposition": part.get_content_disposition(),
            "data": base64.b64encode(part.get_payload(decode=True)).decode(),
        } for part in msg.iter_attachments()],
        "defects": [type(d).__name__ for part in msg.walk() for d in part.defects],
    }
    json.dump(out, sys.stdout)


if __name__ == "__main__":
    main()
