"""Checks one received mail strictly: python3 check_mail.py MAIL SUBJECT_FILE FROM.

The mail and each of its headers must parse under RFC 5322 without any
defect, carry a Date that
parses, a Message-ID of the form <left@right>, MIME-Version 1.0, a Subject
that decodes to the bytes of SUBJECT_FILE (UTF-8) and the From header FROM.
Exits 0 when all hold, else prints the first fault and exits 1.
"""
import email
import email.policy
import email.utils
import re
import sys


def main(mail_file, subject_file, sender):
    policy = email.policy.default.clone(raise_on_defect=True)
    with open(mail_file, "rb") as f:
        message = email.message_from_binary_file(f, policy=policy)
    with open(subject_file, "rb") as f:
        subject = f.read().decode("utf-8")
    faults = []
    if message.defects:
        faults.append("defects: %r" % message.defects)
    for name, value in message.items():
        if getattr(value, "defects", None):
            faults.append("%s: %r" % (name, value.defects))
    if email.utils.parsedate_to_datetime(str(message["Date"])) is None:
        faults.append("Date does not parse: %r" % message["Date"])
    if not re.fullmatch(r"<[^<>@\s]+@[^<>@\s]+>", str(message["Message-ID"] or "")):
        faults.append("bad Message-ID: %r" % message["Message-ID"])
    if str(message["MIME-Version"]) != "1.0":
        faults.append("MIME-Version: %r" % message["MIME-Version"])
    if str(message["Subject"]) != subject:
        faults.append("Subject %r, want %r" % (str(message["Subject"]), subject))
    if str(message["From"]) != sender:
        faults.append("From %r, want %r" % (str(message["From"]), sender))
    for fault in faults:
        print(fault)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:4]))
