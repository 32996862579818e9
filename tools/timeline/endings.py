"""How a run ended, in words: the table's last line, what follows it, the
picture's title and the Helgrind run's note all say it here."""
import signal

from .model import Ending


def seconds(ns):
    return f"{ns / 1e9:.1f}"


def signal_name(number):
    try:
        return signal.strsignal(number)
    except ValueError:
        return None


def ended(ending: Ending):
    """What the program did, after "the program ": "exited with status 0",
    "was killed by signal 11 (Segmentation fault)", "deadlocked, and was
    stopped at 1.0 s"."""
    at = seconds(ending.at)
    if ending.how == "exited":
        return f"exited with status {ending.value}"
    if ending.how == "killed":
        name = signal_name(ending.value)
        return f"was killed by signal {ending.value}" + (f" ({name})" if name else "")
    return {"deadlock": f"deadlocked, and was stopped at {at} s",
            "stopped": f"was stopped by a signal, and was ended at {at} s",
            "deadline": f"reached the deadline, and was stopped at {at} s",
            "interrupted": f"was interrupted by {ending.by}, and stopped at {at} s"}[ending.how]


def why_stopped(ending: Ending, deadline):
    """The line that says why the tool stopped a run that did not hang, or None."""
    at = seconds(ending.at)
    if ending.how == "deadline":
        return f"deadline: stopped after {at} s of the program's time (--deadline {deadline:g})"
    if ending.how == "stopped":
        return (f"stopped: every thread of the program was stopped by a signal (SIGSTOP or another), and none "
                f"went on for a second: the run was ended at {at} s")
    if ending.how == "interrupted":
        return f"interrupted: stopped by {ending.by} after {at} s of the program's time"
    return None


def title(program, speed, ending: Ending, actors):
    """The picture's title. actors: "thread", "process" or "thread and process"."""
    pace = f", run {speed:g}x faster under libfaketime" if speed else ""
    at = seconds(ending.at)
    if not ending.stopped:
        return f"{program}: what each {actors} does, in the program's own seconds{pace}"
    return {"deadlock": f"{program} deadlocked: every thread waits, and none can wake another (stopped at {at} s)",
            "deadline": f"{program}: stopped at its deadline, {at} s{pace}",
            "stopped": f"{program} was stopped by a signal, and ended at {at} s{pace}",
            "interrupted": f"{program}: stopped by {ending.by} at {at} s{pace}"}[ending.how]


def helgrind_stopped(reason):
    """How the run under Helgrind was stopped, for the line that says so, or None."""
    return {"deadline": "reached the deadline", "interrupted": "was interrupted",
            "deadlock": "hung, and was stopped", "stopped": "stopped itself, and was ended"}.get(reason, reason)
