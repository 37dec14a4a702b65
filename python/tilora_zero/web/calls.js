// What every part of the page shares: the server's answers, elements by id, SVG elements, a pause.
"use strict";

export const $ = (id) => document.getElementById(id);
export const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const SVG = "http://www.w3.org/2000/svg";

// The server's JSON answer; an Error with the server's one line when it refuses.
export async function call(method, path, body) {
  const options = { method, headers: { "Content-Type": "application/json" } };
  if (body !== undefined) options.body = JSON.stringify(body);
  let reply;
  try {
    reply = await fetch(path, options);
  } catch (error) {
    throw new Error("the server does not answer: is tilora-zero still running?");
  }
  const data = await reply.json().catch(() => ({ error: `the server answered ${reply.status}` }));
  if (!reply.ok) throw new Error(data.error || `the server answered ${reply.status}`);
  return data;
}

export function showError(error) { $("error").textContent = error ? error.message : ""; }

export function svgElement(name, attributes, parent) {
  const element = document.createElementNS(SVG, name);
  for (const [key, value] of Object.entries(attributes)) element.setAttribute(key, value);
  if (parent) parent.appendChild(element);
  return element;
}

// "1st", "2nd", "3rd", "4th".
export const ordinal = (n) => n + ({ 1: "st", 2: "nd", 3: "rd" }[n] || "th");
