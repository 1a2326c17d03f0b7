"""python3 check_mail.py MAIL SUBJECT_FILE FROM: exits 0 when the mail and its headers
parse under RFC 5322 without a defect, with a Date that parses, a Message-ID <left@right>,
MIME-Version 1.0, the Subject of SUBJECT_FILE (UTF-8) and the From header FROM; else
prints each fault and exits 1.
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
    sys.stdout.write("".join(fault + "\n" for fault in faults))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:4]))
