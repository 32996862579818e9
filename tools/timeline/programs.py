"""What the tool knows of this project's own four programs, and of no other:
their names, the roles of their routines' threads, and the bakery's words
and colours for its waits, sleeps and counter. The rest of the tool is general."""
from .calls import JOINING, SEMAPHORE, SLEEPING

PROGRAMS = ("gorvane", "lumbrick", "bakers", "fendrow")
# A thread that runs one of these routines is named by its role: Baker 1, Eater 7, worker.
ROUTINE_ROLES = {"Bake": "Baker", "Eat": "Eater", "tFunc": "worker"}
# The bakery's semaphores are places and buns, and its sleeps are baking and eating.
BAKERY = {
    "waits": {"freePlace": "waiting for a place", "bun": "waiting for a bun"},
    "sleeps": {"Baker": "baking", "Eater": "eating"},
    "states": {JOINING: "in the join"},
    "colours": {"waiting for a place": "#f4a259", "baking": "#bc6c25", "waiting for a bun": "#e63946",
                "eating": "#2a9d8f", "in the join": "#7b2cbf"},
    "flows": {"bun": ("#e63946", "a bun handed over"), "freePlace": ("#f4a259", "a place handed over")},
    # One panel for both semaphores: the items lying on the counter, and the
    # places taken (the free places' semaphore counted down from its start).
    "counter": {"title": "counter", "items": ("bun", "buns lying on the counter", "#e63946"),
                "free": ("freePlace", "places taken", "#5a4634"), "places": 3},
}
PROFILES = {"bakers": BAKERY}


def routine_role(name):
    return ROUTINE_ROLES.get(name, name)


def profile(program, semaphores):
    """The words and colours of one of our programs (bakers, or a changed
    copy such as bakers-starving) whose semaphores are the ones it knows,
    or None."""
    found = PROFILES.get(program.split("-")[0])
    return found if found and set(semaphores) <= set(found["waits"]) else None


def state_in(profile_of, state, role, objects):
    """A thread's state in a program's own words: a bakery's wait on
    freePlace is waiting for a place, a baker's sleep is baking."""
    if not profile_of:
        return state
    if state == SEMAPHORE and objects:
        state = profile_of["waits"].get(objects[0], state)
    elif state == SLEEPING:
        state = profile_of["sleeps"].get(role.split()[0], state)
    return profile_of["states"].get(state, state)
