// What every part of the page shares: finding and making elements, and the server's JSON API.
export const $ = (id) => document.getElementById(id);

export function el(tag, props = {}, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(props)) {
    if (k === 'class') e.className = v;
    else if (k.startsWith('data-') || k.startsWith('aria-')) e.setAttribute(k, v);
    else e[k] = v;
  }
  for (const c of children) if (c != null) e.append(c);
  return e;
}

// Every request is same-origin and relative, so the browser sends the page's cookies with it.
export async function api(path, body) {
  const res = await fetch(path, body === undefined ? {} : {
    method: 'POST', headers: {'Content-Type': 'application/json'}, body: JSON.stringify(body)});
  const json = await res.json().catch(() => ({}));
  if (!res.ok) throw new Error(json.error || res.statusText || ('the server answered ' + res.status));
  return json;
}

// A name for one gesture's changes (a slider dragged), so that they undo as one step.
let gestures = 0;
export const newGesture = () => 'g' + Date.now().toString(36) + '-' + (++gestures);
